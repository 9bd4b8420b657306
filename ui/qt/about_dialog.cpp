#include "ui/qt/about_dialog.h"

#include <QDesktopServices>
#include <QFontMetrics>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>

#include "resources/resource_ids.h"
#include "ui/dlg_merlin_test.h"

OpenSiteFunction openSite = QDesktopServices::openUrl;

namespace {

// The link control: a label that reports a click (code 0) and the second
// click of a double-click (its own code) as commands to the box.
class LinkLabel : public QLabel {
public:
    LinkLabel(QLabel* original, DlgAbout* about, int id)
        : QLabel(original->text(), original->parentWidget()), about_(about), id_(id)
    {
        setObjectName(original->objectName());
        setGeometry(original->geometry());
        setAlignment(original->alignment());
        setFont(original->font());
        setTextFormat(Qt::PlainText);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void mousePressEvent(QMouseEvent* event) override
    {
        if (event->button() == Qt::LeftButton)
            pressed_ = true;
    }
    void mouseDoubleClickEvent(QMouseEvent* event) override
    {
        if (event->button() != Qt::LeftButton)
            return;
        // Its release is not a click of its own.
        pressed_ = false;
        about_->onCommand(static_cast<uint32_t>(id_) | (kDoubleClickNotification << 16));
    }
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        // Only the release of a first click counts as the click.
        if (event->button() != Qt::LeftButton || !pressed_)
            return;
        pressed_ = false;
        if (rect().contains(event->position().toPoint()))
            about_->onCommand(static_cast<uint32_t>(id_));
    }

private:
    DlgAbout* about_;
    int id_;
    bool pressed_ = false;
};

}  // namespace

QtAboutBox::QtAboutBox(QWidget* owner) : TemplateDialog(owner), units_{}
{
    setFont(dialogFont());
    units_ = DialogUnits::forFont(font(), dialogDpi());
    createTemplateControls(this, kAboutDialogTemplate, units_);
    // Below the template, where to read more: the user guide.
    setFixedSize(units_.width(kAboutDialogTemplate.width),
                 units_.height(kGuideLineY + kGuideLineHeight + kGuideLineMargin));
    QLabel* guide = new QLabel(QString::fromUtf8(kGuideLineText), this);
    guide->setObjectName(QStringLiteral("guide"));
    guide->setGeometry(units_.rect(kGuideLineX, kGuideLineY, kGuideLineWidth, kGuideLineHeight));
    guide->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    guide->setTextFormat(Qt::PlainText);
    // The path can be copied into a browser or a file manager.
    guide->setTextInteractionFlags(Qt::TextSelectableByMouse);
    guide->setFocusPolicy(Qt::NoFocus);
    // Placed relative to the owner, as the template asks.
    const QPoint origin = owner != nullptr ? owner->mapToGlobal(QPoint(0, 0)) : QPoint(0, 0);
    move(origin + QPoint(units_.width(kAboutDialogTemplate.x), units_.height(kAboutDialogTemplate.y)));
    if (QPushButton* exit = qobject_cast<QPushButton*>(templateControl(this, IDC_ABOUT_EXIT))) {
        connect(exit, &QPushButton::clicked, this, [this] { about_.onCommand(kIdCancel); });
        // The only control that takes the focus.
        exit->setFocus(Qt::OtherFocusReason);
    }
    about_.onInitDialog(this);
}

QtAboutBox::~QtAboutBox()
{
    about_.onDialogEnded();
}

void QtAboutBox::underlineFont(int controlId)
{
    if (QWidget* control = templateControl(this, controlId)) {
        QFont font = control->font();
        font.setUnderline(true);
        control->setFont(font);
    }
}

void QtAboutBox::setFontHeightAndWeight(int controlId, int height, int weight)
{
    QWidget* control = templateControl(this, controlId);
    if (control == nullptr)
        return;
    QFont font = control->font();
    font.setWeight(static_cast<QFont::Weight>(weight));
    // The height is the character cell's, as Windows takes a positive height:
    // the largest pixel size whose line height still fits it.
    const int cell = static_cast<int>(height * dialogDpi() / 96.0);
    for (int pixels = cell; pixels > 1; --pixels) {
        font.setPixelSize(pixels);
        if (QFontMetrics(font).height() <= cell)
            break;
    }
    control->setFont(font);
}

void QtAboutBox::makeLink(int controlId)
{
    QLabel* original = qobject_cast<QLabel*>(templateControl(this, controlId));
    if (original == nullptr)
        return;
    LinkLabel* link = new LinkLabel(original, &about_, controlId);
    QPalette palette = link->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::Link));
    link->setPalette(palette);
    // Drawn on the box's own background.
    link->setAutoFillBackground(false);
    link->setCursor(Qt::PointingHandCursor);
    link->stackUnder(original);
    delete original;
    link->show();
}

void QtAboutBox::openSite(const char* address)
{
    ::openSite(QUrl(QString::fromLatin1(address)));
}

void QtAboutBox::endDialog(int result)
{
    done(result);
}

void QtAboutBox::reject()
{
    about_.onCommand(kIdCancel);
}

void QtAboutBox::accept()
{
    about_.onCommand(kIdOk);
}

int runAboutDialog(QWidget* owner)
{
    QtAboutBox box(owner);
    return box.exec();
}
