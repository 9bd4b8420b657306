// The real Linux program — runLinuxProgram, all that main() does — run
// in-process offscreen and closed the ways a user closes it, at moments when
// its threads are busy: it returns 0 and sends nothing more to the mount.
// Under the asan and tsan presets this is its start-up and shutdown checked
// for leaks, use after free and races.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QGuiApplication>
#include <string>
#include <vector>

#include "app/linux_program.h"
#include "resources/resource_ids.h"
#include "tests/qt/qt_driver.h"
#include "tests/support/sim_client.h"

namespace {

using Frames = std::vector<std::string>;

constexpr int kMountPortIndex = 6;  // COM7
// How long a frame written just before the exit may take to reach the
// simulator's record through the pseudo-terminal.
constexpr int kLateFrameMs = 300;

enum class CloseBy { CloseBox, Escape, Enter };

class LinuxProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.open()) << "simulator control line COM8: " << sim.lastError();
        ASSERT_TRUE(sim.reset()) << sim.lastError();
    }

    // Runs the program with `arguments`; `script` runs on its main dialog
    // once it is up and must end it.
    int run(std::function<void(QWidget*)> script, std::vector<std::string> arguments = {})
    {
        bool ran = false;
        whenModalOpens([&](QWidget* dialog) {
            ran = true;
            script(dialog);
        });
        arguments.insert(arguments.begin(), "merlintest");
        std::vector<char*> argv;
        for (std::string& word : arguments)
            argv.push_back(&word[0]);
        argv.push_back(nullptr);
        const int code = runLinuxProgram(static_cast<int>(arguments.size()), argv.data());
        EXPECT_TRUE(ran) << "the main dialog did not come up";
        return code;
    }

    static void connect(QWidget* dialog)
    {
        controlOf<QComboBox>(dialog, IDC_PORT_LIST)->setCurrentIndex(kMountPortIndex);
        QTest::mouseClick(templateControl(dialog, IDC_CONNECT), Qt::LeftButton);
    }

    static void close(QWidget* dialog, CloseBy how)
    {
        if (how == CloseBy::CloseBox)
            dialog->close();
        else {
            // The click on Connect gave it the focus, and a focused push button
            // takes Enter as a click: the keys go to the port list.
            QWidget* list = templateControl(dialog, IDC_PORT_LIST);
            list->setFocus();
            QTest::keyClick(list, how == CloseBy::Escape ? Qt::Key_Escape : Qt::Key_Return);
        }
    }

    // The mount heard nothing after `framesAtClose` frames.
    void expectNothingMoreThan(size_t framesAtClose)
    {
        QTest::qWait(kLateFrameMs);
        const Frames frames = sim.frames();
        EXPECT_EQ(frames.size(), framesAtClose) << "a frame went out after the close: " << frames.back();
    }

    SimClient sim;
};

TEST_F(LinuxProgram, ClosingDuringAHandshakeEndsWith0AndSendsNothingMore)
{
    ASSERT_TRUE(sim.setSilent(true));
    const int code = run([&](QWidget* dialog) {
        connect(dialog);
        EXPECT_TRUE(waitForField(dialog, IDC_STATUS, QStringLiteral("Connecting... Please wait.")));
        EXPECT_TRUE(sim.waitForFrames(1, kQtWaitMs));
        close(dialog, CloseBy::CloseBox);
    });
    EXPECT_EQ(code, 0);
    expectNothingMoreThan(1);
    EXPECT_EQ(sim.frames(), Frames{":F1\r"});
}

TEST_F(LinuxProgram, ClosingWhileConnectedAndMovingSendsNoStop)
{
    const int code = run([&](QWidget* dialog) {
        connect(dialog);
        EXPECT_TRUE(waitForField(dialog, IDC_STATUS, QStringLiteral("Ready")));
        EXPECT_TRUE(sim.waitForFrames(6, kQtWaitMs));
        QTest::mouseClick(templateControl(dialog, IDC_UP), Qt::LeftButton);
        EXPECT_TRUE(sim.waitForFrames(10, kQtWaitMs));
        EXPECT_TRUE(waitForField(dialog, IDC_STATUS, QStringLiteral("Manual movement")));
        close(dialog, CloseBy::Escape);
    });
    EXPECT_EQ(code, 0);
    expectNothingMoreThan(10);
    EXPECT_EQ(sim.frames().back(), ":J2\r");
}

// The heartbeat ticks once a second and, during a handshake, reaches into the
// engine; closes at different phases of that second land before, during and
// after a tick.
TEST_F(LinuxProgram, ClosingAtAnyPhaseOfTheHeartbeatEndsWith0)
{
    ASSERT_TRUE(sim.setSilent(true));
    for (int phaseMs : {0, 250, 500, 750}) {
        SCOPED_TRACE(phaseMs);
        ASSERT_TRUE(sim.clearLog());
        const int code = run([&](QWidget* dialog) {
            connect(dialog);
            EXPECT_TRUE(sim.waitForFrames(1, kQtWaitMs));
            QTest::qWait(phaseMs);
            close(dialog, CloseBy::Enter);
        });
        EXPECT_EQ(code, 0);
        expectNothingMoreThan(1);
    }
}

// A taskbar shows the window with the desktop entry's name and our icon.
TEST_F(LinuxProgram, NamesItsDesktopEntryAndShowsItsOwnIconInEveryThemeSize)
{
    const int code = run([&](QWidget* dialog) {
        EXPECT_EQ(text(QGuiApplication::desktopFileName()), "merlintest");
        const QList<QSize> sizes = dialog->windowIcon().availableSizes();
        for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
            EXPECT_TRUE(sizes.contains(QSize(size, size))) << size << " px";
        close(dialog, CloseBy::CloseBox);
    });
    EXPECT_EQ(code, 0);
}

// Qt's own options are the dialog's, beside ours, in any order: the dialog
// comes up as without them.
TEST_F(LinuxProgram, TakesQtsOwnOptionsBesideItsOwn)
{
    const int code = run([&](QWidget* dialog) { close(dialog, CloseBy::CloseBox); },
                         {"-style", "fusion", "--trace", "-reverse", "-qwindowtitle=Bench", "--"});
    EXPECT_EQ(code, 0);
}

}  // namespace
