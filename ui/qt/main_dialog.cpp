#include "ui/qt/main_dialog.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QColor>
#include <QCoreApplication>
#include <QEvent>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QKeyEvent>
#include <QPalette>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QShortcut>
#include <QStyle>
#include <QVariant>
#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "app/status_codes.h"
#include "platform/platform.h"
#include "platform/port_names.h"
#include "resources/resource_ids.h"
#include "ui/dlg_merlin_test.h"
#include "ui/port_entries.h"
#include "ui/qt/about_dialog.h"
#include "ui/qt/report_dialog.h"

const int kUserMessageEvent = QEvent::User + 1;

namespace {

class UserMessageEvent : public QEvent {
public:
    explicit UserMessageEvent(unsigned message) : QEvent(static_cast<QEvent::Type>(kUserMessageEvent)), wParam(message)
    {
    }
    const unsigned wParam;
};

// Bitmap ids and their files in the program's resources.
const char* bitmapFile(int bitmapId)
{
    switch (bitmapId) {
    case IDB_ARROW_LEFT:
        return ":/merlintest/arrow_left.bmp";
    case IDB_ARROW_RIGHT:
        return ":/merlintest/arrow_right.bmp";
    case IDB_ARROW_UP:
        return ":/merlintest/arrow_up.bmp";
    case IDB_ARROW_DOWN:
        return ":/merlintest/arrow_down.bmp";
    default:
        return nullptr;
    }
}

// Qt hands a posted event to the window's thread under a lock of its own,
// which ThreadSanitizer cannot see in Debian's uninstrumented Qt; this
// counter's release (once the event is made) and acquire (before one is read)
// show it the hand-over, for one atomic operation per event.
std::atomic<unsigned> postedEvents{0};

constexpr int kBitmapSize = 16;
// The arrow buttons keep their bitmap's id here, to draw it again when the
// palette changes.
const char kBitmapProperty[] = "merlinBitmap";

// The arrow in the palette's button-text colour on a see-through ground, so
// it stands out on a dark theme as on a light one. Win32 draws the bitmap's
// white in the button face; here white becomes transparent.
void paintBitmap(QPushButton* button, const QPalette& palette)
{
    const char* file = bitmapFile(button->property(kBitmapProperty).toInt());
    if (file == nullptr)
        return;
    const QImage bitmap(QString::fromLatin1(file));
    if (bitmap.isNull())
        return;
    QImage arrow = bitmap.convertToFormat(QImage::Format_ARGB32);
    const QRgb ink = palette.color(QPalette::Active, QPalette::ButtonText).rgb();
    for (int y = 0; y < arrow.height(); ++y)
        for (int x = 0; x < arrow.width(); ++x)
            arrow.setPixel(x, y, qGray(arrow.pixel(x, y)) < 128 ? ink : qRgba(0, 0, 0, 0));
    button->setIcon(QIcon(QPixmap::fromImage(arrow)));
    const int side = std::max(kBitmapSize, static_cast<int>(kBitmapSize * dialogDpi() / 96.0));
    button->setIconSize(QSize(side, side));
}

// What assistive technology calls each control that has no text of its own
// (or whose label stands beside it), and the Alt+letter that reaches it.
struct ControlAccess {
    int id;
    const char* name;  // null: the control's own text
    int key;           // 0: none (the arrows: Tab and Space reach them)
};

const ControlAccess kControlAccess[] = {
    {IDC_PORT_LIST, "Port", Qt::Key_P},
    {IDC_CONNECT, nullptr, Qt::Key_C},
    {IDC_DISCONNECT, nullptr, Qt::Key_D},
    {IDC_STATUS, "Status", Qt::Key_T},
    {IDC_STOP, nullptr, Qt::Key_S},
    {IDC_UP, "Move up", 0},
    {IDC_DOWN, "Move down", 0},
    {IDC_LEFT, "Move left", 0},
    {IDC_RIGHT, "Move right", 0},
    {IDC_KIND_INTERNAL, nullptr, Qt::Key_M},
    {IDC_KIND_RTS_CABLE, nullptr, Qt::Key_K},
    {IDC_KIND_ADAPTER_V2, nullptr, Qt::Key_V},
    {IDC_EXP_ON, nullptr, Qt::Key_E},
    {IDC_EXP_OFF, nullptr, Qt::Key_X},
    {IDC_FOCUS_ON, nullptr, Qt::Key_F},
    {IDC_FOCUS_OFF, nullptr, Qt::Key_O},
    {IDC_TIMER_VALUE, "Self-timed (ms)", Qt::Key_L},
    {IDC_TIMER_START, nullptr, Qt::Key_A},
    {IDC_TIMER_STATUS, "Timer status", Qt::Key_I},
    {IDC_TIMER_READ, nullptr, Qt::Key_R},
    {IDC_ABOUT, nullptr, Qt::Key_B},
};

// The extra width of a drop-down list's entries beyond their text: margins
// and the scroll bar.
constexpr int kListExtraWidth = 40;

// Present ports first, in COM order, then a separator and the numbers with no
// device, greyed: 256 entries of which a handful matter. Each entry's COM
// number stays its data, so Connect opens the number chosen wherever it
// stands. Returns the width the opened list needs.
int arrangePortEntries(QComboBox* list)
{
    std::vector<unsigned> numbers;
    for (int i = 0; i < list->count(); ++i)
        if (list->itemData(i).isValid())
            numbers.push_back(list->itemData(i).toUInt());
    std::sort(numbers.begin(), numbers.end());
    std::vector<PortEntry> entries;
    {
        const platform::PortListing listing;
        for (unsigned number : numbers)
            entries.push_back(describePortEntry(number, ("COM" + std::to_string(number)).c_str()));
    }
    const QVariant chosen = list->currentData();
    const QSignalBlocker quiet(list);
    list->clear();
    const QColor grey = list->palette().color(QPalette::Disabled, QPalette::Text);
    int widest = 0;
    int presentCount = 0;
    for (bool present : {true, false}) {
        if (!present && presentCount > 0)
            list->insertSeparator(list->count());
        for (size_t i = 0; i < entries.size(); ++i) {
            const PortEntry& entry = entries[i];
            if (entry.present != present)
                continue;
            presentCount += present ? 1 : 0;
            const QString text = QString::fromStdString(entry.text);
            list->addItem(text, static_cast<int>(numbers[i]));
            const int row = list->count() - 1;
            list->setItemData(row, QString::fromStdString(entry.closedText), kPortClosedTextRole);
            list->setItemData(row, QString::fromStdString(entry.tooltip), Qt::ToolTipRole);
            QFont font = list->font();
            // The simulator's control line is there, but is no mount.
            font.setBold(entry.present && !entry.controlLine);
            list->setItemData(row, font, Qt::FontRole);
            if (!entry.present)
                list->setItemData(row, grey, Qt::ForegroundRole);
            widest = std::max(widest, QFontMetrics(font).horizontalAdvance(text) + kListExtraWidth);
        }
    }
    list->setCurrentIndex(chosen.isValid() ? list->findData(chosen) : -1);
    return widest;
}

// As the list opens: the devices as they are now, a cable plugged in or
// pulled out since included. The opened list may be wider than the box, so
// device names show whole.
void refreshPortEntries(QComboBox* list)
{
    list->view()->setMinimumWidth(arrangePortEntries(list));
}

}  // namespace

static void initResources()
{
    // The resources live in a static library, which the linker would drop.
    Q_INIT_RESOURCE(merlintest);
}

// ---- QtDialogWindow ---------------------------------------------------------

void QtDialogWindow::bind(QtMainDialog* dialog)
{
    dialog_ = dialog;
    std::lock_guard<std::mutex> hold(postLock_);
    postTarget_ = dialog;
}

void QtDialogWindow::unbind()
{
    {
        std::lock_guard<std::mutex> hold(postLock_);
        postTarget_ = nullptr;
    }
    dialog_ = nullptr;
}

QWidget* QtDialogWindow::control(int id) const
{
    return dialog_ != nullptr ? templateControl(dialog_, id) : nullptr;
}

void QtDialogWindow::addPortEntry(const char* text)
{
    // Named and ordered once all are in (refreshPortEntries); the entry's
    // port is its place in the order added, as on Windows.
    if (QComboBox* list = qobject_cast<QComboBox*>(control(IDC_PORT_LIST)))
        list->addItem(QString::fromUtf8(text), list->count() + 1);
}

void QtDialogWindow::selectPortEntry(int index)
{
    if (QComboBox* list = qobject_cast<QComboBox*>(control(IDC_PORT_LIST)))
        list->setCurrentIndex(list->findData(index + 1));
}

int QtDialogWindow::selectedPortEntry()
{
    QComboBox* list = qobject_cast<QComboBox*>(control(IDC_PORT_LIST));
    const QVariant port = list != nullptr ? list->currentData() : QVariant();
    return port.isValid() ? port.toInt() - 1 : -1;
}

void QtDialogWindow::setButtonBitmap(int buttonId, int bitmapId)
{
    QPushButton* button = qobject_cast<QPushButton*>(control(buttonId));
    if (button == nullptr || bitmapFile(bitmapId) == nullptr)
        return;
    button->setProperty(kBitmapProperty, bitmapId);
    paintBitmap(button, dialog_->palette());
}

void QtDialogWindow::checkRadioButton(int firstId, int lastId, int checkedId)
{
    for (int id = firstId; id <= lastId; ++id)
        if (QRadioButton* radio = qobject_cast<QRadioButton*>(control(id)))
            radio->setChecked(id == checkedId);
}

bool QtDialogWindow::isButtonChecked(int buttonId)
{
    QRadioButton* radio = qobject_cast<QRadioButton*>(control(buttonId));
    return radio != nullptr && radio->isChecked();
}

void QtDialogWindow::enableControl(int controlId, bool enabled)
{
    if (QWidget* widget = control(controlId))
        widget->setEnabled(enabled);
}

void QtDialogWindow::focusControl(int controlId)
{
    if (QWidget* widget = control(controlId))
        widget->setFocus(Qt::OtherFocusReason);
}

uint32_t QtDialogWindow::readUnsigned(int controlId)
{
    QLineEdit* field = qobject_cast<QLineEdit*>(control(controlId));
    if (field == nullptr)
        return 0;
    const QString text = field->text();
    return parseUnsignedText(reinterpret_cast<const char16_t*>(text.utf16()));
}

void QtDialogWindow::writeUnsigned(int controlId, uint32_t value)
{
    if (QLineEdit* field = qobject_cast<QLineEdit*>(control(controlId)))
        field->setText(QString::number(value));
}

void QtDialogWindow::setText(int controlId, const char16_t* text)
{
    QLineEdit* field = qobject_cast<QLineEdit*>(control(controlId));
    if (field == nullptr)
        return;
    field->setText(QString::fromUtf16(text));
    // Under "Error: Cannot open port", why, until the next status.
    if (controlId == IDC_STATUS && dialog_ != nullptr) {
        char reason[1024] = "";
        if (field->text() == QString::fromUtf16(statusText(StatusCannotOpenPort)))
            platform::serialOpenFailure(reason, sizeof reason);
        dialog_->showReason(QString::fromUtf8(reason));
    }
}

void QtDialogWindow::endDialog(int result)
{
    if (dialog_ != nullptr)
        dialog_->done(result);
}

void QtDialogWindow::runAboutBox()
{
    runAboutDialog(dialog_);
}

void QtDialogWindow::postUserMessage(unsigned wParam, long)
{
    std::lock_guard<std::mutex> hold(postLock_);
    if (postTarget_ == nullptr)
        return;
    UserMessageEvent* event = new UserMessageEvent(wParam);
    postedEvents.fetch_add(1, std::memory_order_release);
    QCoreApplication::postEvent(postTarget_, event);
}

// ---- QtMainDialog -----------------------------------------------------------

QtMainDialog::QtMainDialog(DlgMerlinTest* dialog, QWidget* owner) : TemplateDialog(owner), dialog_(dialog), units_{}
{
    initResources();
    setFont(dialogFont());
    units_ = DialogUnits::forFont(font(), dialogDpi());
    createTemplateControls(this, kMainDialogTemplate, units_);
    move(units_.width(kMainDialogTemplate.x), units_.height(kMainDialogTemplate.y));
    // Room for the reason line, which wraps to a second line when it must.
    setFixedSize(units_.width(kMainDialogTemplate.width),
                 units_.height(kMainDialogTemplate.height + kReasonLineGrowth));
    reasonLine_ = new QLabel(this);
    reasonLine_->setObjectName(QStringLiteral("reason"));
    reasonLine_->setGeometry(units_.rect(kReasonLineX, kReasonLineY, kReasonLineWidth, kReasonLineHeight));
    reasonLine_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    reasonLine_->setTextFormat(Qt::PlainText);
    reasonLine_->setWordWrap(true);
    // A path or a command in it can be copied.
    reasonLine_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    reasonLine_->setFocusPolicy(Qt::NoFocus);
    reasonLine_->setAccessibleName(QStringLiteral("Why the port did not open"));
    makeAccessible();
    for (int i = 0; i < kMainDialogTemplate.controlCount; ++i) {
        const int id = kMainDialogTemplate.controls[i].id;
        QWidget* widget = templateControl(this, id);
        // Buttons and radio buttons are the commands; the list's and the
        // fields' notifications are not.
        if (QAbstractButton* button = qobject_cast<QAbstractButton*>(widget))
            connect(button, &QAbstractButton::clicked, this, [this, id] {
                if (dialog_ != nullptr)
                    dialog_->onCommand(id);
            });
    }
    if (QComboBox* list = qobject_cast<QComboBox*>(templateControl(this, IDC_PORT_LIST)))
        onPortListOpening(list, [list] { refreshPortEntries(list); });
    addReportButton();
    mainDialogWindow().bind(this);
    if (dialog_ != nullptr) {
        dialog_->onInitDialog(&mainDialogWindow());
        if (QComboBox* list = qobject_cast<QComboBox*>(templateControl(this, IDC_PORT_LIST)))
            refreshPortEntries(list);
        // Windows starts on COM1; here the port a user most likely means.
        mainDialogWindow().selectPortEntry(likelyPortEntry(kPortCount));
    }
}

// Beside the template's controls, above About: the mount's own figures and
// the self-test, for the port chosen and the camera interface chosen.
void QtMainDialog::addReportButton()
{
    QPushButton* report = new QPushButton(QStringLiteral("Report..."), this);
    report->setObjectName(QStringLiteral("report"));
    report->setAutoDefault(false);
    report->setGeometry(units_.rect(kReportButtonX, kReportButtonY, kReportButtonWidth, kReportButtonHeight));
    connect(report, &QPushButton::clicked, this, [this] {
        QtDialogWindow& window = mainDialogWindow();
        ShutterInterface shutter = ShutterInterface::AuxOutput;
        if (window.isButtonChecked(IDC_KIND_RTS_CABLE))
            shutter = ShutterInterface::RtsCable;
        else if (window.isButtonChecked(IDC_KIND_ADAPTER_V2))
            shutter = ShutterInterface::Adapter;
        const unsigned port = static_cast<unsigned>(window.selectedPortEntry() + 1);
        runReportDialog(this, port, shutter, [this] {
            if (dialog_ != nullptr)
                dialog_->onCommand(IDC_DISCONNECT);
        });
    });
}

QtMainDialog::~QtMainDialog()
{
    // Stop the engine's posts before the window goes.
    if (dialog_ != nullptr)
        dialog_->onDialogEnded();
    mainDialogWindow().unbind();
}

void QtMainDialog::showReason(const QString& reason)
{
    reasonLine_->setText(reason);
    if (QWidget* status = templateControl(this, IDC_STATUS)) {
        status->setToolTip(reason);
        status->setAccessibleDescription(reason);
    }
}

void QtMainDialog::makeAccessible()
{
    for (const ControlAccess& access : kControlAccess) {
        QWidget* widget = templateControl(this, access.id);
        if (widget == nullptr)
            continue;
        if (access.name != nullptr)
            widget->setAccessibleName(QString::fromUtf8(access.name));
        if (access.key == 0)
            continue;
        const QKeySequence keys(QKeyCombination(Qt::AltModifier, static_cast<Qt::Key>(access.key)));
        if (QAbstractButton* button = qobject_cast<QAbstractButton*>(widget)) {
            button->setShortcut(keys);
            continue;
        }
        QShortcut* shortcut = new QShortcut(keys, this);
        connect(shortcut, &QShortcut::activated, widget, [widget] {
            if (widget->isEnabled())
                widget->setFocus(Qt::ShortcutFocusReason);
        });
    }
    // Each label names the field beside it (the second 1002 is the
    // self-timer's label; the first is the group box).
    const struct {
        int label, field;
    } labels[] = {{IDC_PORT_LABEL, IDC_PORT_LIST},
                  {IDC_STATUS_LABEL, IDC_STATUS},
                  {IDC_TIMER_LABEL, IDC_TIMER_VALUE},
                  {IDC_TIMER_STATUS_LABEL, IDC_TIMER_STATUS}};
    for (const auto& pair : labels) {
        QLabel* label = findChild<QLabel*>(QString::number(pair.label), Qt::FindDirectChildrenOnly);
        if (label != nullptr)
            label->setBuddy(templateControl(this, pair.field));
    }
}

void QtMainDialog::changeEvent(QEvent* event)
{
    // A new theme: the arrows take its button-text colour (the buttons get
    // the dialog's palette only after this).
    if (event->type() == QEvent::PaletteChange)
        for (QPushButton* button : findChildren<QPushButton*>(QString(), Qt::FindDirectChildrenOnly))
            if (button->property(kBitmapProperty).isValid())
                paintBitmap(button, palette());
    TemplateDialog::changeEvent(event);
}

void QtMainDialog::reject()
{
    if (dialog_ == nullptr || !dialog_->onCommand(kIdCancel))
        QDialog::reject();
}

void QtMainDialog::accept()
{
    if (dialog_ == nullptr || !dialog_->onCommand(kIdOk))
        QDialog::accept();
}

bool QtMainDialog::event(QEvent* event)
{
    postedEvents.load(std::memory_order_acquire);
    if (event->type() == kUserMessageEvent) {
        if (dialog_ != nullptr)
            dialog_->onUserMessage(static_cast<UserMessageEvent*>(event)->wParam);
        return true;
    }
    return QDialog::event(event);
}

int runMainDialog(DlgMerlinTest* dialog, QWidget* owner)
{
    QtMainDialog window(dialog, owner);
    return window.exec();
}

QtDialogWindow& mainDialogWindow()
{
    // Never destroyed: the engine thread may still post through it at exit.
    static QtDialogWindow* window = new QtDialogWindow();
    return *window;
}

QIcon programIcon()
{
    initResources();
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/merlintest/merlintest-%1.png").arg(size), QSize(size, size));
    return icon;
}
