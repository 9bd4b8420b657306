#include "ui/qt/main_dialog.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QBitmap>
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
#include <QStyle>
#include <QVariant>
#include <algorithm>
#include <atomic>

#include "app/status_codes.h"
#include "platform/platform.h"
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

// The extra width of a drop-down list's entries beyond their text: margins
// and the scroll bar.
constexpr int kListExtraWidth = 40;

// The entry's name and look for what its device is now; the list's own text
// for it ("COM7") is kept in its user data. A present device is in bold, an
// absent one greyed. Returns the width the opened list needs for it.
int showPortEntry(QComboBox* list, int index)
{
    const std::string name = list->itemData(index).toString().toStdString();
    const PortEntry entry = describePortEntry(static_cast<unsigned>(index + 1), name.c_str());
    const QString text = QString::fromStdString(entry.text);
    list->setItemText(index, text);
    list->setItemData(index, QString::fromStdString(entry.tooltip), Qt::ToolTipRole);
    QFont font = list->font();
    font.setBold(entry.present);
    list->setItemData(index, font, Qt::FontRole);
    const QColor grey = list->palette().color(QPalette::Disabled, QPalette::Text);
    list->setItemData(index, entry.present ? QVariant() : QVariant(grey), Qt::ForegroundRole);
    return QFontMetrics(font).horizontalAdvance(text) + kListExtraWidth;
}

// As the list opens: the devices as they are now, a cable plugged in or
// pulled out since included. The opened list may be wider than the box, so
// device names show whole.
void refreshPortEntries(QComboBox* list)
{
    int widest = 0;
    for (int i = 0; i < list->count(); ++i)
        widest = std::max(widest, showPortEntry(list, i));
    list->view()->setMinimumWidth(widest);
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
    QComboBox* list = qobject_cast<QComboBox*>(control(IDC_PORT_LIST));
    if (list == nullptr)
        return;
    list->addItem(QString::fromUtf8(text), QString::fromUtf8(text));
    QAbstractItemView* view = list->view();
    view->setMinimumWidth(std::max(view->minimumWidth(), showPortEntry(list, list->count() - 1)));
}

void QtDialogWindow::selectPortEntry(int index)
{
    if (QComboBox* list = qobject_cast<QComboBox*>(control(IDC_PORT_LIST)))
        list->setCurrentIndex(index);
}

int QtDialogWindow::selectedPortEntry()
{
    QComboBox* list = qobject_cast<QComboBox*>(control(IDC_PORT_LIST));
    return list != nullptr ? list->currentIndex() : -1;
}

void QtDialogWindow::setButtonBitmap(int buttonId, int bitmapId)
{
    QPushButton* button = qobject_cast<QPushButton*>(control(buttonId));
    const char* file = bitmapFile(bitmapId);
    if (button == nullptr || file == nullptr)
        return;
    QImage image(QString::fromLatin1(file));
    if (image.isNull())
        return;
    // Win32 draws a bitmap's white in the button face; here white becomes
    // transparent, so the face shows through.
    QPixmap pixmap = QPixmap::fromImage(image.convertToFormat(QImage::Format_ARGB32));
    pixmap.setMask(pixmap.createMaskFromColor(Qt::white));
    button->setIcon(QIcon(pixmap));
    const int side = std::max(kBitmapSize, static_cast<int>(kBitmapSize * dialogDpi() / 96.0));
    button->setIconSize(QSize(side, side));
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
    // Beside "Error: Cannot open port", why, until the next status.
    if (controlId == IDC_STATUS) {
        char reason[1024] = "";
        if (field->text() == QString::fromUtf16(statusText(StatusCannotOpenPort)))
            platform::serialOpenFailure(reason, sizeof reason);
        field->setToolTip(QString::fromUtf8(reason));
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
