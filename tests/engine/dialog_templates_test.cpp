// The dialog templates as the Qt front-end builds them (ui/dialog_templates)
// against the ones the Win32 program compiles (resources/merlintest.rc): the
// same controls, ids, classes, styles, places and texts, in the same order.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/status_codes.h"
#include "ui/dialog_templates.h"

namespace {

struct RcDialog {
    std::string caption;
    int x = 0, y = 0, width = 0, height = 0;
    std::vector<std::string> controls;  // "id|class|style|x,y,w,h|text"
};

std::string readFile(const char* path)
{
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// The #defines of resource_ids.h, by name.
std::map<std::string, int> resourceIds()
{
    std::map<std::string, int> ids;
    const std::string text = readFile(MERLIN_SOURCE_DIR "/resources/resource_ids.h");
    const std::regex define(R"re(#define (\w+) (\d+))re");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), define); it != std::sregex_iterator(); ++it)
        ids[(*it)[1]] = std::stoi((*it)[2]);
    return ids;
}

std::string unescapeRc(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
            out += '\n';
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::map<int, RcDialog> rcDialogs()
{
    const std::map<std::string, int> ids = resourceIds();
    std::map<int, RcDialog> dialogs;
    std::istringstream lines(readFile(MERLIN_SOURCE_DIR "/resources/merlintest.rc"));
    const std::regex head(R"re(^(\w+) DIALOGEX (\d+), (\d+), (\d+), (\d+))re");
    const std::regex caption(R"re(^CAPTION "(.*)")re");
    const std::regex control(
        R"re(^\s*CONTROL "(.*)", (\w+), "(\w+)", (0x[0-9A-Fa-f]+), (\d+), (\d+), (\d+), (\d+)\s*$)re");
    RcDialog* current = nullptr;
    std::string line;
    std::smatch m;
    while (std::getline(lines, line)) {
        if (std::regex_search(line, m, head)) {
            current = &dialogs[ids.at(m[1])];
            current->x = std::stoi(m[2]);
            current->y = std::stoi(m[3]);
            current->width = std::stoi(m[4]);
            current->height = std::stoi(m[5]);
        } else if (current != nullptr && std::regex_search(line, m, caption)) {
            current->caption = m[1];
        } else if (current != nullptr && std::regex_match(line, m, control)) {
            current->controls.push_back(std::to_string(ids.at(m[2])) + "|" + std::string(m[3]) + "|" +
                                        std::to_string(std::stoul(m[4], nullptr, 16)) + "|" + std::string(m[5]) + "," +
                                        std::string(m[6]) + "," + std::string(m[7]) + "," + std::string(m[8]) + "|" +
                                        unescapeRc(m[1]));
        }
    }
    return dialogs;
}

const char* win32Class(ControlKind kind)
{
    switch (kind) {
    case ControlKind::Label:
    case ControlKind::RightLabel:
    case ControlKind::Link:
        return "Static";
    case ControlKind::PortList:
        return "ComboBox";
    case ControlKind::Field:
    case ControlKind::ReadOnlyField:
        return "Edit";
    default:
        return "Button";
    }
}

std::vector<std::string> tableControls(const DialogTemplate& t)
{
    std::vector<std::string> controls;
    for (int i = 0; i < t.controlCount; ++i) {
        const ControlTemplate& c = t.controls[i];
        controls.push_back(std::to_string(c.id) + "|" + win32Class(c.kind) + "|" + std::to_string(c.style) + "|" +
                           std::to_string(c.x) + "," + std::to_string(c.y) + "," + std::to_string(c.width) + "," +
                           std::to_string(c.height) + "|" + c.text);
    }
    return controls;
}

TEST(DialogTemplates, TablesMatchTheCompiledTemplates)
{
    const std::map<int, RcDialog> rc = rcDialogs();
    for (const DialogTemplate* t : {&kMainDialogTemplate, &kAboutDialogTemplate}) {
        SCOPED_TRACE(t->id);
        ASSERT_EQ(rc.count(t->id), 1u);
        const RcDialog& compiled = rc.at(t->id);
        EXPECT_EQ(compiled.caption, t->caption);
        EXPECT_EQ((std::vector<int>{compiled.x, compiled.y, compiled.width, compiled.height}),
                  (std::vector<int>{t->x, t->y, t->width, t->height}));
        EXPECT_EQ(compiled.controls, tableControls(*t));
    }
    EXPECT_EQ(kMainDialogTemplate.controlCount, 26);
    EXPECT_EQ(kAboutDialogTemplate.controlCount, 5);
}

// The user guide's table of statuses gives each code with the very text the
// dialog shows, so a user can look up what is on the screen.
TEST(UserGuide, StatusTableHasEveryCodeWithItsExactText)
{
    const std::string guide = readFile(MERLIN_SOURCE_DIR "/docs/user-guide.md");
    ASSERT_FALSE(guide.empty());
    for (unsigned code = 0; code < kStatusCodeCount; ++code) {
        const std::u16string wide = statusText(code);
        const std::string text(wide.begin(), wide.end());  // the texts are ASCII
        const std::string row = "| " + std::to_string(code) + " | \"" + text + "\" |";
        EXPECT_NE(guide.find(row), std::string::npos) << row;
    }
}

}  // namespace
