// The real Qt main dialog, offscreen, over the real object graph
// (startApplication: engine, model, heartbeat) with the mount simulator behind
// COM7: the template's controls and start-up state, the port list's device
// names, why a port did not open, what the mount receives for the buttons and
// keys, how the dialog ends, and that no post reaches a window that is gone.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <algorithm>
#include <QAccessible>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStyle>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/app_globals.h"
#include "app/app_lifecycle.h"
#include "app/app_model.h"
#include "resources/resource_ids.h"
#include "tests/qt/qt_driver.h"
#include "tests/support/fake_system.h"
#include "tests/support/port_links.h"
#include "tests/support/recorders.h"
#include "tests/support/sim_client.h"
#include "ui/dlg_merlin_test.h"
#include "ui/qt/main_dialog.h"
#include "ui/qt/report_dialog.h"

namespace {

using Frames = std::vector<std::string>;

constexpr unsigned kMountPort = 7;
constexpr unsigned kControlPort = 8;  // the simulator's control line
// The fixture's first link: where the dialog starts.
constexpr unsigned kFirstLinkPort = 5;

const int kV2Controls[] = {IDC_FOCUS_ON,    IDC_FOCUS_OFF,    IDC_TIMER_VALUE,
                           IDC_TIMER_START, IDC_TIMER_STATUS, IDC_TIMER_READ};

bool isV2Control(int id)
{
    for (int v2 : kV2Controls)
        if (v2 == id)
            return true;
    return false;
}

bool takesFocus(ControlKind kind)
{
    return kind != ControlKind::Label && kind != ControlKind::RightLabel && kind != ControlKind::GroupBox &&
           kind != ControlKind::Link;
}

QString shownText(QWidget* widget)
{
    if (auto* button = qobject_cast<QAbstractButton*>(widget))
        return button->text();
    if (auto* label = qobject_cast<QLabel*>(widget))
        return label->text();
    if (auto* group = qobject_cast<QGroupBox*>(widget))
        return group->title();
    if (auto* field = qobject_cast<QLineEdit*>(widget))
        return field->text();
    return QString();
}

// The texts that do not fit their control in the fonts this machine has: the
// clipping a user would see.
std::vector<std::string> clippedTexts(QWidget* dialog, const DialogTemplate& dialogTemplate)
{
    std::vector<std::string> clipped;
    for (int i = 0; i < dialogTemplate.controlCount; ++i) {
        const ControlTemplate& c = dialogTemplate.controls[i];
        if (c.text[0] == '\0')
            continue;
        QWidget* widget = templateControl(dialog, c.id);
        if (c.kind == ControlKind::RightLabel && c.id == IDC_TIMER_LABEL)
            widget = dialog->findChildren<QLabel*>(QString::number(c.id)).value(0);
        const QFontMetrics metrics(widget->font());
        QStyle* style = widget->style();
        int room = widget->width();
        int margin = 0;
        int lineHeight = metrics.height();
        if (c.kind == ControlKind::Button)
            margin = 2 * style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, widget) / 2 + 4;
        else if (c.kind == ControlKind::RadioButton)
            margin = style->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, widget) +
                     style->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, widget);
        else if (c.kind == ControlKind::GroupBox)
            margin = 16;
        const QStringList lines = QString::fromUtf8(c.text).split(QLatin1Char('\n'));
        int widest = 0;
        for (const QString& line : lines)
            widest = std::max(widest, metrics.horizontalAdvance(line));
        if (widest + margin > room || lineHeight * lines.size() > widget->height())
            clipped.push_back(std::string(c.text) + " needs " + std::to_string(widest + margin) + "x" +
                              std::to_string(lineHeight * lines.size()) + ", has " + std::to_string(room) + "x" +
                              std::to_string(widget->height()));
    }
    return clipped;
}

void saveScreenshot(QWidget* window, const char* name)
{
    const QByteArray directory = qgetenv("MERLIN_SCREENSHOT_DIR");
    if (directory.isEmpty())
        return;
    EXPECT_TRUE(window->grab().save(QString::fromUtf8(directory) + QLatin1Char('/') + QLatin1String(name))) << name;
}

class QtMainDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.open()) << "simulator control line COM8: " << sim.lastError();
        ASSERT_TRUE(sim.reset()) << sim.lastError();
        startApplication(nullptr);
        open();
    }

    void TearDown() override
    {
        delete dialog;
        shutdownApplication();
    }

    void open()
    {
        delete dialog;
        dialog = new QtMainDialog(theDlgMerlinTest, nullptr);
        dialog->show();
        dialog->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(dialog));
    }

    QWidget* control(int id) const { return templateControl(dialog, id); }
    template <typename Widget> Widget* control(int id) const { return controlOf<Widget>(dialog, id); }
    void click(int id) { QTest::mouseClick(control(id), Qt::LeftButton); }
    QString status() const { return fieldText(dialog, IDC_STATUS); }
    bool waitForStatus(const char* text) { return waitForField(dialog, IDC_STATUS, QString::fromUtf8(text)); }

    void connectToSimulator()
    {
        choosePort(dialog, kMountPort);
        click(IDC_CONNECT);
        ASSERT_TRUE(waitForStatus("Ready")) << "status: " << text(status());
        ASSERT_TRUE(sim.waitForFrames(6, kQtWaitMs));
        ASSERT_TRUE(sim.clearLog());
    }

    // The frames the simulator received since the last clear, once `count`
    // are in and answered; then clears its record.
    Frames takeFrames(size_t count)
    {
        EXPECT_TRUE(sim.waitForFrames(count, kQtWaitMs)) << "frames so far: " << sim.frames().size();
        EXPECT_TRUE(QTest::qWaitFor([&] { return sim.replies().size() >= count; }, kQtWaitMs));
        Frames frames = sim.frames();
        EXPECT_TRUE(sim.clearLog());
        return frames;
    }

    SimClient sim;
    QtMainDialog* dialog = nullptr;
};

TEST_F(QtMainDialogTest, ShowsTheTemplatesControlsInTabOrderAndStartsOnTheLikelyPortWithKind0)
{
    EXPECT_EQ(text(dialog->windowTitle()), kMainDialogTemplate.caption);
    const DialogUnits& units = dialog->units();
    // The template's size, and a line below it for why a port did not open.
    EXPECT_EQ(dialog->size(), QSize(units.width(294), units.height(168 + kReasonLineGrowth)));
    // A fixed-size dialog: its frame offers no maximise (nor minimise) button.
    EXPECT_FALSE(dialog->windowFlags().testAnyFlags(Qt::WindowMaximizeButtonHint | Qt::WindowMinimizeButtonHint));
    std::vector<QWidget*> focusable;
    for (int i = 0; i < kMainDialogTemplate.controlCount; ++i) {
        const ControlTemplate& c = kMainDialogTemplate.controls[i];
        SCOPED_TRACE(c.id);
        // 1002 is both the group box and a label: the label is the second.
        QWidget* widget = c.kind == ControlKind::RightLabel && c.id == IDC_TIMER_LABEL
                              ? dialog->findChildren<QLabel*>(QString::number(c.id)).value(0)
                              : control(c.id);
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(text(shownText(widget)), c.text);
        const QRect place = units.rect(c.x, c.y, c.width, c.kind == ControlKind::PortList ? 14 : c.height);
        EXPECT_EQ(widget->geometry(), place);
        EXPECT_EQ(widget->isEnabled(), !isV2Control(c.id));
        if (takesFocus(c.kind))
            focusable.push_back(widget);
        else
            EXPECT_EQ(widget->focusPolicy(), Qt::NoFocus);
    }
    // "Report..." comes after the template's controls, above About.
    QPushButton* report = dialog->findChild<QPushButton*>(QStringLiteral("report"));
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->geometry(), units.rect(20, 121, 60, 16));
    EXPECT_FALSE(report->geometry().intersects(control(IDC_ABOUT)->geometry()));
    EXPECT_FALSE(report->geometry().intersects(control(IDC_DOWN)->geometry()));
    focusable.push_back(report);
    // Tab walks the template order from the port list, skipping what is
    // disabled, and wraps round.
    ASSERT_EQ(QApplication::focusWidget(), control(IDC_PORT_LIST));
    for (size_t i = 1; i <= focusable.size(); ++i) {
        QWidget* expected = focusable[i % focusable.size()];
        if (!expected->isEnabled())
            continue;
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), expected) << i;
    }

    EXPECT_EQ(chosenPort(dialog), kFirstLinkPort);
    EXPECT_TRUE(control<QRadioButton>(IDC_KIND_INTERNAL)->isChecked());
    EXPECT_FALSE(control<QRadioButton>(IDC_KIND_RTS_CABLE)->isChecked());
    EXPECT_FALSE(control<QRadioButton>(IDC_KIND_ADAPTER_V2)->isChecked());
    for (int field : {IDC_STATUS, IDC_TIMER_VALUE, IDC_TIMER_STATUS})
        EXPECT_EQ(fieldText(dialog, field), "");
    EXPECT_TRUE(control<QLineEdit>(IDC_STATUS)->isReadOnly());
    EXPECT_FALSE(control<QLineEdit>(IDC_TIMER_VALUE)->isReadOnly());
    EXPECT_EQ(sim.frames(), Frames{});

    // The arrows show their triangle, its white drawn as the button face.
    const struct {
        int id;
        QPoint apex;
    } arrows[] = {{IDC_UP, {7, 5}}, {IDC_DOWN, {7, 10}}, {IDC_LEFT, {5, 7}}, {IDC_RIGHT, {10, 7}}};
    for (const auto& arrow : arrows) {
        SCOPED_TRACE(arrow.id);
        const QImage image = control<QPushButton>(arrow.id)->icon().pixmap(16, 16).toImage();
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << "white is see-through";
        int black = 0;
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
                if (qAlpha(image.pixel(x, y)) == 255 && qGray(image.pixel(x, y)) < 64)
                    ++black;
        EXPECT_GT(black, 20) << "a filled triangle";
    }
}

// Each entry starts with its COM number; a device that exists is named after
// it, and the tooltip names what the number opens, a link's target included.
// The present ports come first, then a separator and the other numbers; the
// closed box shows the chosen port's device, and Connect opens the COM number
// chosen wherever its entry stands.
TEST_F(QtMainDialogTest, PortEntriesNameTheDeviceTheyOpenPresentOnesFirst)
{
    QComboBox* list = control<QComboBox>(IDC_PORT_LIST);
    std::vector<unsigned> numbers;
    int separator = -1;
    for (int i = 0; i < list->count(); ++i) {
        if (!list->itemData(i).isValid()) {
            EXPECT_EQ(separator, -1) << "one separator";
            separator = i;
            continue;
        }
        const unsigned number = list->itemData(i).toUInt();
        numbers.push_back(number);
        const QString name = QStringLiteral("COM%1").arg(number);
        const bool named = list->itemText(i).startsWith(name + QStringLiteral(" \u2014 "));
        ASSERT_TRUE(list->itemText(i) == name || named) << text(list->itemText(i));
        EXPECT_EQ(named, separator == -1) << "present first: " << text(list->itemText(i));
    }
    ASSERT_EQ(numbers.size(), 256u);
    std::vector<unsigned> sorted = numbers;
    std::sort(sorted.begin(), sorted.end());
    for (unsigned n = 1; n <= 256; ++n)
        ASSERT_EQ(sorted[n - 1], n) << "each number once";
    ASSERT_GT(separator, 0);
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.begin() + separator));
    EXPECT_TRUE(std::is_sorted(numbers.begin() + separator, numbers.end()));

    char target[512] = {};
    const ssize_t n = readlink(portLinkPath(7).c_str(), target, sizeof target - 1);
    ASSERT_GT(n, 0) << "the fixture links COM7";
    const int mount = list->findData(kMountPort);
    EXPECT_LT(mount, separator);
    EXPECT_EQ(text(list->itemText(mount)), std::string("COM7 \u2014 ") + target);
    EXPECT_EQ(text(list->itemData(mount, Qt::ToolTipRole).toString()),
              "COM7 opens " + portLinkPath(7) + " \u2192 " + target);
    // The simulator's control line is there, said to be one, and not in bold.
    const int controlLine = list->findData(kControlPort);
    EXPECT_LT(controlLine, separator);
    EXPECT_TRUE(text(list->itemText(controlLine)).find(" (merlin-sim control line)") != std::string::npos)
        << text(list->itemText(controlLine));
    EXPECT_FALSE(list->itemData(controlLine, Qt::FontRole).value<QFont>().bold());
    EXPECT_TRUE(list->itemData(mount, Qt::FontRole).value<QFont>().bold());
    // COM200 has no device of its own and no link here.
    const int absent = list->findData(200u);
    EXPECT_GT(absent, separator);
    EXPECT_EQ(text(list->itemText(absent)), "COM200");
    EXPECT_NE(text(list->itemData(absent, Qt::ToolTipRole).toString()).find("merlintest/ports"), std::string::npos);
    // The opened list is wide enough for the longest entry.
    int widest = 0;
    for (int i = 0; i < list->count(); ++i)
        widest = std::max(widest, list->fontMetrics().horizontalAdvance(list->itemText(i)));
    EXPECT_GT(list->view()->minimumWidth(), widest);

    // The closed box: the number and the device, as /dev names it.
    char first[512] = {};
    ASSERT_GT(readlink(portLinkPath(kFirstLinkPort).c_str(), first, sizeof first - 1), 0);
    EXPECT_EQ(text(portListClosedText(list)), "COM5 " + std::string(first).substr(5)) << "pts/N";
    choosePort(dialog, kMountPort);
    EXPECT_NE(list->currentIndex(), static_cast<int>(kMountPort) - 1) << "the entry stands elsewhere";
    EXPECT_EQ(text(portListClosedText(list)), "COM7 " + std::string(target).substr(5));
    choosePort(dialog, 200);
    EXPECT_EQ(text(portListClosedText(list)), "COM200");
    // A network port by its address, cut short to fit the box.
    choosePort(dialog, 12);
    const QString address = portListClosedText(list);
    EXPECT_TRUE(address.startsWith(QStringLiteral("COM12 tcp:")) && address.contains(QChar(0x2026))) << text(address);
    EXPECT_LT(list->fontMetrics().horizontalAdvance(address), list->width());
    choosePort(dialog, kMountPort);
    click(IDC_CONNECT);
    EXPECT_TRUE(waitForStatus("Ready")) << text(status());
}

// The list follows the cables: a USB cable linked as COM9 after the dialog came
// up shows, with its product and by-id name, among the present ports the next
// time the list opens, and loses its name and place once unplugged. Present
// devices are bold, absent ones greyed; the opened list shows about 16 rows
// and scrolls.
TEST_F(QtMainDialogTest, OpenedListFollowsTheCablesAndShowsAbout16Rows)
{
    constexpr unsigned kCablePort = 9;
    QComboBox* list = control<QComboBox>(IDC_PORT_LIST);
    FakeSystem system;
    system.addUsbDevice("ttyUSB0", "1-2", "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0", "FTDI", "FT232R USB UART");
    UseSystemRoot use(system.root());
    if (!system.devicesAreTerminals())
        GTEST_SKIP() << "a device node of a terminal needs root";
    const std::string cable = portLinkPath(kCablePort);
    const std::string device = system.root() + "/dev/ttyUSB0";
    unlink(cable.c_str());
    ASSERT_EQ(symlink(device.c_str(), cable.c_str()), 0);
    auto row = [&](unsigned port) { return list->findData(port); };
    auto entry = [&](unsigned port) { return text(list->itemText(row(port))); };
    auto bold = [&](unsigned port) { return list->itemData(row(port), Qt::FontRole).value<QFont>().bold(); };
    auto separator = [&] {
        int i = 0;
        while (i < list->count() && list->itemData(i).isValid())
            ++i;
        return i;
    };
    EXPECT_EQ(entry(kCablePort), "COM9") << "not before the list opens";
    EXPECT_GT(row(kCablePort), separator());

    list->showPopup();
    QWidget* popup = list->view()->window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(popup));
    EXPECT_EQ(entry(kCablePort), "COM9 \u2014 " + device + " (FTDI FT232R USB UART)");
    EXPECT_LT(row(kCablePort), separator());
    EXPECT_GT(row(kCablePort), row(kMountPort)) << "in COM order among the present";
    const std::string tooltip = text(list->itemData(row(kCablePort), Qt::ToolTipRole).toString());
    EXPECT_NE(tooltip.find("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0"), std::string::npos)
        << tooltip;
    EXPECT_EQ(chosenPort(dialog), kFirstLinkPort) << "the choice stays as entries move";
    EXPECT_TRUE(bold(kCablePort));
    EXPECT_TRUE(bold(kMountPort));
    EXPECT_FALSE(bold(200));
    EXPECT_TRUE(list->itemData(row(200), Qt::ForegroundRole).isValid()) << "greyed";
    EXPECT_FALSE(list->itemData(row(kCablePort), Qt::ForegroundRole).isValid());
    const int rows = list->view()->viewport()->height() / list->view()->sizeHintForRow(0);
    EXPECT_GE(rows, 12);
    EXPECT_LE(rows, 20);
    EXPECT_TRUE(list->view()->verticalScrollBar()->isVisible());
    // With MERLIN_SCREENSHOT_DIR set, the opened list is saved there.
    list->view()->scrollTo(list->model()->index(0, 0));
    saveScreenshot(popup, "qt-port-list.png");
    const int widthWithCable = list->view()->minimumWidth();
    EXPECT_GT(widthWithCable, list->fontMetrics().horizontalAdvance(list->itemText(row(kCablePort))));
    list->hidePopup();

    unlink(cable.c_str());
    list->showPopup();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(popup));
    EXPECT_EQ(entry(kCablePort), "COM9");
    EXPECT_GT(row(kCablePort), separator()) << "back among the absent";
    EXPECT_FALSE(bold(kCablePort));
    EXPECT_LT(list->view()->minimumWidth(), widthWithCable) << "as narrow as the entries left";
    list->hidePopup();
}

// The dialog starts on the port a user most likely means: the first present
// one among the user's links (the fixture's COM5, or a lone link on COM150,
// never the simulator's control line on COM149), then the first USB,
// modem-class, Bluetooth or board UART device, then COM1.
TEST_F(QtMainDialogTest, StartsOnTheFirstPresentLinkThenUsbAcmRfcommAndBoardUartThenCom1)
{
    EXPECT_EQ(chosenPort(dialog), kFirstLinkPort);
    char mount[512] = {}, controlLine[512] = {};
    ASSERT_GT(readlink(portLinkPath(7).c_str(), mount, sizeof mount - 1), 0) << "the fixture links COM7";
    ASSERT_GT(readlink(portLinkPath(8).c_str(), controlLine, sizeof controlLine - 1), 0) << "and COM8";
    char pattern[] = "/tmp/merlin-config-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string config = pattern;
    const std::string saved = std::getenv("XDG_CONFIG_HOME");
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    const std::string lone = portLinkDirectory() + "/com150";
    std::filesystem::create_directories(portLinkDirectory());
    EXPECT_EQ(symlink(mount, lone.c_str()), 0);
    symlink("/dev/merlintest-gone", (portLinkDirectory() + "/com100").c_str());
    // As merlin-sim marks the links to its control line.
    for (const char* name : {"/com149", "/com149.control"})
        EXPECT_EQ(symlink(controlLine, (portLinkDirectory() + name).c_str()), 0);
    open();
    const unsigned withLoneLink = chosenPort(dialog);
    unlink(lone.c_str());
    open();
    const unsigned withoutLinks = chosenPort(dialog);
    setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    std::filesystem::remove_all(config);
    EXPECT_EQ(withLoneLink, 150u);
    // This machine's own devices, as the fixed table names them.
    unsigned expected = 1;
    for (unsigned port = 160; port >= 33; --port) {
        const std::string family = port <= 64    ? "/dev/ttyUSB"
                                   : port <= 96  ? "/dev/ttyACM"
                                   : port <= 128 ? "/dev/rfcomm"
                                                 : "/dev/ttyAMA";
        if (access((family + std::to_string((port - 33) % 32)).c_str(), F_OK) == 0)
            expected = port;
    }
    EXPECT_EQ(withoutLinks, expected) << "a link to nothing and the control line are passed over";
}

// A port that does not open says why on the line under the controls, seen
// without the mouse (and in the status's tooltip and accessible
// description), until the next status; the status keeps its own text.
TEST_F(QtMainDialogTest, ReasonLineSaysWhyThePortDidNotOpen)
{
    QLabel* reason = dialog->reasonLine();
    ASSERT_NE(reason, nullptr);
    EXPECT_EQ(text(reason->text()), "");
    choosePort(dialog, 200);  // no device, no link
    click(IDC_CONNECT);
    ASSERT_TRUE(waitForStatus("Error: Cannot open port")) << text(status());
    const std::string why = "COM200 (" + portLinkPath(200) + "): no such device";
    EXPECT_EQ(text(reason->text()), why);
    EXPECT_EQ(text(control<QLineEdit>(IDC_STATUS)->toolTip()), why);
    EXPECT_EQ(text(control<QLineEdit>(IDC_STATUS)->accessibleDescription()), why);
    // Shown whole, inside the dialog and clear of every control.
    EXPECT_TRUE(reason->isVisible());
    EXPECT_TRUE(dialog->rect().contains(reason->geometry()));
    EXPECT_TRUE(reason->wordWrap());
    EXPECT_LE(reason->heightForWidth(reason->width()), reason->height()) << why;
    for (int i = 0; i < kMainDialogTemplate.controlCount; ++i) {
        const ControlTemplate& c = kMainDialogTemplate.controls[i];
        const QRect place = dialog->units().rect(c.x, c.y, c.width, c.kind == ControlKind::PortList ? 14 : c.height);
        EXPECT_FALSE(place.intersects(reason->geometry())) << c.id;
    }
    // A USB cable that is not plugged in, as the fixed table names it (when
    // this machine has none and no link stands for COM33); with
    // MERLIN_SCREENSHOT_DIR set, the dialog as a user then sees it.
    if (access("/dev/ttyUSB0", F_OK) != 0 && access(portLinkPath(33).c_str(), F_OK) != 0) {
        choosePort(dialog, 33);
        click(IDC_CONNECT);
        ASSERT_TRUE(QTest::qWaitFor([&] { return reason->text().startsWith(QStringLiteral("COM33")); }, kQtWaitMs));
        EXPECT_EQ(text(reason->text()), "COM33 (/dev/ttyUSB0): no such device");
        EXPECT_EQ(text(status()), "Error: Cannot open port");
    }
    saveScreenshot(dialog, "qt-port-reason.png");
    connectToSimulator();
    EXPECT_EQ(text(reason->text()), "");
    EXPECT_EQ(text(control<QLineEdit>(IDC_STATUS)->toolTip()), "");
}

// Every control has a name for assistive technology, the labels are linked to
// their fields, and Alt+letter reaches each control without changing its
// text (the texts are checked with the template's above).
TEST_F(QtMainDialogTest, ControlsHaveAccessibleNamesLinkedLabelsAndAltKeys)
{
    auto nameOf = [](QWidget* widget) {
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
        return accessible != nullptr ? text(accessible->text(QAccessible::Name)) : std::string("(none)");
    };
    const struct {
        int id;
        const char* name;
    } named[] = {{IDC_CONNECT, "Connect"},
                 {IDC_STATUS, "Status"},
                 {IDC_STOP, "STOP"},
                 {IDC_UP, "Move up"},
                 {IDC_DOWN, "Move down"},
                 {IDC_LEFT, "Move left"},
                 {IDC_RIGHT, "Move right"},
                 {IDC_TIMER_VALUE, "Self-timed (ms)"},
                 {IDC_TIMER_STATUS, "Timer status"},
                 {IDC_KIND_ADAPTER_V2, "Kestrava Bluetooth V2"}};
    for (const auto& n : named)
        EXPECT_EQ(nameOf(control(n.id)), n.name) << n.id;
    for (int i = 0; i < kMainDialogTemplate.controlCount; ++i) {
        const ControlTemplate& c = kMainDialogTemplate.controls[i];
        if (takesFocus(c.kind)) {
            EXPECT_NE(nameOf(control(c.id)), "") << c.id;
        }
    }
    const struct {
        int label, field;
    } buddies[] = {{IDC_PORT_LABEL, IDC_PORT_LIST},
                   {IDC_STATUS_LABEL, IDC_STATUS},
                   {IDC_TIMER_LABEL, IDC_TIMER_VALUE},
                   {IDC_TIMER_STATUS_LABEL, IDC_TIMER_STATUS}};
    for (const auto& b : buddies) {
        QLabel* label = dialog->findChild<QLabel*>(QString::number(b.label), Qt::FindDirectChildrenOnly);
        ASSERT_NE(label, nullptr) << b.label;
        EXPECT_EQ(label->buddy(), control(b.field)) << b.label;
        // Assistive technology sees the label name the field.
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(label);
        ASSERT_NE(accessible, nullptr);
        const auto relations = accessible->relations(QAccessible::Labelled);
        ASSERT_EQ(relations.size(), 1) << b.label;
        EXPECT_EQ(relations[0].first->object(), control(b.field)) << b.label;
    }
    // A button's key is told with its press action.
    QAccessibleActionInterface* connect =
        QAccessible::queryAccessibleInterface(control(IDC_CONNECT))->actionInterface();
    ASSERT_NE(connect, nullptr);
    EXPECT_EQ(connect->keyBindingsForAction(QAccessibleActionInterface::pressAction()), QStringList{"Alt+C"});

    // Alt+T takes the focus to the status field; Alt+L to the self-timer's
    // field only once the V2 adapter is chosen (Alt+V).
    QTest::keyClick(dialog, Qt::Key_T, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), control(IDC_STATUS));
    QTest::keyClick(dialog, Qt::Key_L, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), control(IDC_STATUS)) << "a disabled field takes no focus";
    QTest::keyClick(dialog, Qt::Key_V, Qt::AltModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return control<QRadioButton>(IDC_KIND_ADAPTER_V2)->isChecked(); }, kQtWaitMs));
    EXPECT_TRUE(control(IDC_TIMER_VALUE)->isEnabled());
    QTest::keyClick(dialog, Qt::Key_L, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), control(IDC_TIMER_VALUE));
    // Alt+P, then COM7, Alt+C connects to the mount; Alt+S is STOP.
    QTest::keyClick(dialog, Qt::Key_P, Qt::AltModifier);
    ASSERT_EQ(QApplication::focusWidget(), control(IDC_PORT_LIST));
    choosePort(dialog, kMountPort);
    QTest::keyClick(dialog, Qt::Key_C, Qt::AltModifier);
    ASSERT_TRUE(waitForStatus("Ready")) << text(status());
    ASSERT_TRUE(sim.waitForFrames(6, kQtWaitMs));
    ASSERT_TRUE(sim.clearLog());
    QTest::keyClick(dialog, Qt::Key_S, Qt::AltModifier);
    // The key presses the button as a click would, once its press is shown.
    EXPECT_TRUE(QTest::qWaitFor([&] { return sim.frames().size() >= 2; }, kQtWaitMs));
    EXPECT_EQ(takeFrames(2), (Frames{":L1\r", ":L2\r"}));
}

// On a dark theme the arrows are drawn in its button-text colour, so they
// keep their contrast with the button face; back on a light one, dark again.
TEST_F(QtMainDialogTest, ArrowsAreDrawnInTheThemesButtonTextColour)
{
    // WCAG's relative luminance and contrast ratio.
    auto luminance = [](QColor c) {
        auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    auto contrast = [&](QColor a, QColor b) {
        const double la = luminance(a), lb = luminance(b);
        return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
    };
    auto arrowInk = [&](int id) {
        const QImage image = control<QPushButton>(id)->icon().pixmap(16, 16).toImage();
        QColor ink;
        int opaque = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (qAlpha(image.pixel(x, y)) == 255) {
                    ++opaque;
                    if (ink.isValid() && ink.rgb() != image.pixel(x, y))
                        return QColor();
                    ink = QColor::fromRgb(image.pixel(x, y));
                }
        return opaque > 20 ? ink : QColor();
    };
    const QPalette light = dialog->palette();
    QPalette dark = light;
    dark.setColor(QPalette::Button, QColor(0x35, 0x35, 0x35));
    dark.setColor(QPalette::ButtonText, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::Window, QColor(0x2a, 0x2a, 0x2a));
    dark.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    dialog->setPalette(dark);
    for (int id : {IDC_UP, IDC_DOWN, IDC_LEFT, IDC_RIGHT}) {
        const QColor ink = arrowInk(id);
        ASSERT_TRUE(ink.isValid()) << id << ": the triangle in one colour";
        EXPECT_EQ(ink.rgb(), dark.color(QPalette::ButtonText).rgb()) << id;
        EXPECT_GE(contrast(ink, control<QPushButton>(id)->palette().color(QPalette::Button)), 4.5) << id;
    }
    dialog->setPalette(light);
    EXPECT_EQ(arrowInk(IDC_UP).rgb(), light.color(QPalette::ButtonText).rgb());
}

// Connected: an arrow and STOP, the remote buttons for kinds 0 and 2, the
// self-timer started and read back.
TEST_F(QtMainDialogTest, ConnectedTheButtonsDriveTheMount)
{
    connectToSimulator();
    // Each arrow turns the axis it names, in its direction: up and down axis
    // 2, right and left axis 1; up and right count up. STOP holds both.
    const struct {
        int id;
        Frames frames;
        int axis, direction;
    } arrows[] = {
        {IDC_UP, {":L2\r", ":G230\r", ":I2460000\r", ":J2\r"}, 2, 1},
        {IDC_DOWN, {":L2\r", ":G231\r", ":I2460000\r", ":J2\r"}, 2, -1},
        {IDC_RIGHT, {":L1\r", ":G130\r", ":I1460000\r", ":J1\r"}, 1, 1},
        {IDC_LEFT, {":L1\r", ":G131\r", ":I1460000\r", ":J1\r"}, 1, -1},
    };
    for (const auto& arrow : arrows) {
        SCOPED_TRACE(arrow.id);
        click(arrow.id);
        EXPECT_EQ(takeFrames(4), arrow.frames);
        EXPECT_TRUE(waitForStatus("Manual movement"));
        int direction = 0;
        ASSERT_TRUE(sim.axisMotion(arrow.axis, &direction)) << sim.lastError();
        EXPECT_EQ(direction, arrow.direction);
    }
    click(IDC_STOP);
    EXPECT_EQ(takeFrames(2), (Frames{":L1\r", ":L2\r"}));
    EXPECT_TRUE(waitForStatus("Ready"));
    for (int axis : {1, 2}) {
        int direction = 1;
        ASSERT_TRUE(sim.axisMotion(axis, &direction)) << sim.lastError();
        EXPECT_EQ(direction, 0) << "axis " << axis << " still after STOP";
    }

    click(IDC_EXP_ON);
    EXPECT_EQ(takeFrames(1), Frames{":O11\r"});
    click(IDC_KIND_ADAPTER_V2);
    EXPECT_FALSE(control<QRadioButton>(IDC_KIND_INTERNAL)->isChecked());
    click(IDC_FOCUS_ON);
    EXPECT_EQ(takeFrames(1), Frames{":X13\r"});
    click(IDC_EXP_OFF);
    EXPECT_EQ(takeFrames(1), Frames{":X12\r"});

    QTest::keyClicks(control(IDC_TIMER_VALUE), QStringLiteral("5000"));
    click(IDC_TIMER_START);
    EXPECT_EQ(takeFrames(1), Frames{":T1108813\r"});
    QTest::qWait(1000);  // so the read shows the timer running down
    click(IDC_TIMER_READ);
    EXPECT_EQ(takeFrames(1), Frames{":t1\r"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !fieldText(dialog, IDC_TIMER_STATUS).isEmpty(); }, kQtWaitMs));
    bool number = false;
    const unsigned left = fieldText(dialog, IDC_TIMER_STATUS).toUInt(&number);
    EXPECT_TRUE(number);
    EXPECT_GT(left, 0u);
    EXPECT_LT(left, 5000u);

    // Every text fits, in this state too; with MERLIN_SCREENSHOT_DIR set both
    // dialogs are saved there.
    EXPECT_EQ(clippedTexts(dialog, kMainDialogTemplate), std::vector<std::string>{});
    saveScreenshot(dialog, "qt-main-dialog.png");
    bool opened = false;
    whenModalOpens([&](QWidget* box) {
        opened = true;
        EXPECT_EQ(clippedTexts(box, kAboutDialogTemplate), std::vector<std::string>{});
        saveScreenshot(box, "qt-about-box.png");
        box->close();
    });
    click(IDC_ABOUT);
    EXPECT_TRUE(opened);
}

// "Report...": over the port chosen (the connection lets go of it), the
// mount's figures at once; the self-test on request, after a question; Save
// writes the text and every frame and reply.
TEST_F(QtMainDialogTest, ReportShowsTheFiguresRunsTheSelfTestAndSaves)
{
    connectToSimulator();
    const QString path = QDir::temp().filePath(QStringLiteral("merlintest-report-test-%1.txt").arg(getpid()));
    QFile::remove(path);
    bool opened = false;
    whenModalOpens([&](QWidget* window) {
        opened = true;
        ReportDialog* report = dynamic_cast<ReportDialog*>(window);
        ASSERT_NE(report, nullptr);
        auto shown = [&](const char* what) {
            return QTest::qWaitFor([&] { return !report->running() && report->reportText().contains(what); },
                                   kQtWaitMs);
        };
        EXPECT_TRUE(shown("report: 13 of 13 figures answered")) << text(report->reportText());
        EXPECT_TRUE(report->reportText().contains(QRegularExpression("axis 1 +counts per revolution +1440000")));
        QPushButton* selfTest = nullptr;
        QPushButton* save = nullptr;
        for (QPushButton* button : report->findChildren<QPushButton*>()) {
            if (button->text() == "Run self-test...")
                selfTest = button;
            if (button->text() == "Save...")
                save = button;
        }
        ASSERT_NE(selfTest, nullptr);
        ASSERT_NE(save, nullptr);
        bool asked = false;
        whenModalOfKindOpens<QMessageBox>([&](QMessageBox* question) {
            asked = question->text().contains("The mount will move");
            question->button(QMessageBox::Yes)->click();
        });
        QTest::mouseClick(selfTest, Qt::LeftButton);
        EXPECT_TRUE(asked);
        EXPECT_TRUE(shown("self-test PASSED: 7 of 7 steps")) << text(report->reportText());
        whenModalOfKindOpens<QFileDialog>([&](QFileDialog* chooser) {
            chooser->selectFile(path);
            static_cast<QDialog*>(chooser)->accept();
        });
        QTest::mouseClick(save, Qt::LeftButton);
        saveScreenshot(report, "qt-report.png");
        report->close();
    });
    QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("report")), Qt::LeftButton);
    EXPECT_TRUE(opened);
    EXPECT_EQ(text(status()), "Connection closed") << "the connection let go of the port";
    QFile saved(path);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    const QString written = QString::fromUtf8(saved.readAll());
    EXPECT_TRUE(written.startsWith("MerlinTest 1.0 report of COM7\n")) << text(written);
    EXPECT_TRUE(written.contains("PASS  shutter")) << text(written);
    EXPECT_TRUE(written.contains(QRegularExpression(" ms > :J1\\\\r\n *\\d+ ms < =\\\\r\n"))) << text(written);
    QFile::remove(path);
    for (int axis : {1, 2}) {
        int direction = 1;
        ASSERT_TRUE(sim.axisMotion(axis, &direction)) << sim.lastError();
        EXPECT_EQ(direction, 0) << "axis " << axis << " at rest";
    }
}

// As on Windows: from the port list, Tab reaches Connect and Space presses it.
TEST_F(QtMainDialogTest, KeyboardPicksThePortAndConnects)
{
    QWidget* list = control(IDC_PORT_LIST);
    ASSERT_EQ(QApplication::focusWidget(), list);
    // The present ports come first, in order: COM5, COM6, COM7.
    for (unsigned port = kFirstLinkPort; port < kMountPort; ++port)
        QTest::keyClick(list, Qt::Key_Down);
    EXPECT_EQ(chosenPort(dialog), kMountPort);
    EXPECT_EQ(sim.frames(), Frames{}) << "selecting sends nothing";
    QTest::keyClick(list, Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), control(IDC_CONNECT));
    QTest::keyClick(control(IDC_CONNECT), Qt::Key_Space);
    EXPECT_TRUE(waitForStatus("Ready")) << text(status());
    // Enter on a focused push button presses it; the dialog stays.
    QTest::keyClick(control(IDC_CONNECT), Qt::Key_Return);
    EXPECT_TRUE(waitForStatus("Error: Already connected"));
    EXPECT_TRUE(dialog->isVisible());
}

TEST_F(QtMainDialogTest, EnterEndsWith1AndEscAndTheCloseBoxWith0)
{
    QTest::keyClick(control(IDC_PORT_LIST), Qt::Key_Return);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), 1);

    open();
    click(IDC_KIND_ADAPTER_V2);
    control(IDC_TIMER_VALUE)->setFocus();
    QTest::keyClick(control(IDC_TIMER_VALUE), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), 1);

    open();
    QTest::keyClick(control(IDC_PORT_LIST), Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), 0);

    open();
    dialog->close();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), 0);
    EXPECT_EQ(sim.frames(), Frames{});
}

// The hand-over to the user-interface thread: first in, first out, each post
// delivering the slot as it is then, and nothing once the window is gone,
// also for posts made just before it went and from another thread meanwhile.
TEST(QtNotificationHandOver, DeliversInOrderAndNothingAfterTheWindowIsGone)
{
    AppModel model;
    RecordingTelescopeControl engine;
    DlgMerlinTest* controller = new DlgMerlinTest(nullptr, &engine, &model);
    RecordingDlgCallback shown;
    QtMainDialog* window = new QtMainDialog(controller, nullptr);
    model.dlgCallback = &shown;
    // The model posts through the application's dialog.
    theDlgMerlinTest = controller;

    model.onStatus(9);
    controller->postUserMessage(999, 0);  // not a notification
    model.onDslrTimerState(2, 65535);
    QCoreApplication::processEvents();
    EXPECT_EQ(shown.calls, (std::vector<std::string>{"showDslrTimerState(2,65535)", "showDslrTimerState(2,65535)"}));

    shown.calls.clear();
    std::atomic<bool> stop{false};
    std::thread poster([&] {
        while (!stop)
            controller->postUserMessage(kNotificationMessage, 0);
    });
    QTest::qWait(20);
    model.onStatus(11);
    delete window;
    const size_t deliveredBefore = shown.calls.size();
    QTest::qWait(50);
    stop = true;
    poster.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(shown.calls.size(), deliveredBefore) << "a post reached a window that is gone";
    EXPECT_EQ(controller->windowHandle.load(), nullptr);
    mainDialogWindow().postUserMessage(kNotificationMessage, 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(shown.calls.size(), deliveredBefore);
    theDlgMerlinTest = nullptr;
    delete controller;
}

}  // namespace
