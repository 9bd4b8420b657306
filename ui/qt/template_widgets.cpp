#include "ui/qt/template_widgets.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QVariant>
#include <algorithm>
#include <cmath>
#include <functional>
#include <utility>

namespace {

// A radio button takes a click anywhere in its rectangle, as a Win32 one
// does, not only on its circle and text.
class TemplateRadioButton : public QRadioButton {
public:
    using QRadioButton::QRadioButton;

protected:
    bool hitButton(const QPoint& position) const override { return rect().contains(position); }
};

// The port list: its entries may name a device after the COM number; the
// closed box, as narrow as on Windows, shows the number and the device's
// short name, and the opened list shows the entries whole.
class PortListBox : public QComboBox {
public:
    explicit PortListBox(QWidget* parent) : QComboBox(parent)
    {
        // Fusion opens a drop-down list as a menu as tall as the screen and
        // ignores maxVisibleItems; as a list it keeps to it, with a scroll bar.
        setStyleSheet(QStringLiteral("QComboBox { combobox-popup: 0; }"));
    }

    std::function<void()> opening;

    void showPopup() override
    {
        if (opening)
            opening();
        QComboBox::showPopup();
    }

    // The current entry's closed text, elided at its end to the room.
    QString closedText() const
    {
        QString text = currentData(kPortClosedTextRole).toString();
        if (text.isEmpty()) {
            text = currentText();
            const int cut = text.indexOf(QLatin1Char(' '));
            if (cut > 0)
                text.truncate(cut);
        }
        QStyleOptionComboBox option;
        initStyleOption(&option);
        const QRect room = style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
        return fontMetrics().elidedText(text, Qt::ElideRight, room.width());
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QStylePainter painter(this);
        QStyleOptionComboBox option;
        initStyleOption(&option);
        option.currentText = closedText();
        painter.drawComplexControl(QStyle::CC_ComboBox, option);
        painter.drawControl(QStyle::CE_ComboBoxLabel, option);
    }
};

constexpr double kReferenceDpi = 96.0;
constexpr double kReferenceHorizontal = 1.5;
constexpr double kReferenceVertical = 1.625;
// A closed drop-down is as high as the push buttons beside it.
constexpr int kClosedListHeight = 14;

QWidget* makeWidget(QWidget* dialog, const ControlTemplate& control)
{
    const QString text = QString::fromUtf8(control.text);
    switch (control.kind) {
    case ControlKind::Label:
    case ControlKind::RightLabel:
    case ControlKind::Link: {
        QLabel* label = new QLabel(text, dialog);
        label->setAlignment((control.kind == ControlKind::RightLabel ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignTop);
        label->setTextFormat(Qt::PlainText);
        return label;
    }
    case ControlKind::PortList:
        return new PortListBox(dialog);
    case ControlKind::Button:
    case ControlKind::BitmapButton: {
        QPushButton* button = new QPushButton(text, dialog);
        // Enter is the dialog's (see the main dialog's key handling), and no
        // push button is the default one.
        button->setAutoDefault(false);
        button->setDefault(false);
        return button;
    }
    case ControlKind::RadioButton: {
        QRadioButton* radio = new TemplateRadioButton(text, dialog);
        // The dialog checks the buttons itself.
        radio->setAutoExclusive(false);
        return radio;
    }
    case ControlKind::Field:
    case ControlKind::ReadOnlyField: {
        QLineEdit* field = new QLineEdit(dialog);
        field->setReadOnly(control.kind == ControlKind::ReadOnlyField);
        return field;
    }
    case ControlKind::GroupBox:
        return new QGroupBox(text, dialog);
    }
    return nullptr;
}

}  // namespace

DialogUnits DialogUnits::forFont(const QFont& font, double dpi)
{
    const double scale = dpi / kReferenceDpi;
    const QFontMetricsF metrics(font);
    // Windows' dialog base units: the average width of the 52 letters, and
    // the font's height; a unit is a quarter and an eighth of them.
    const double average =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 52.0;
    return DialogUnits{std::max(kReferenceHorizontal * scale, average / 4.0),
                       std::max(kReferenceVertical * scale, metrics.height() / 8.0)};
}

QRect DialogUnits::rect(int x, int y, int w, int h) const
{
    const int left = static_cast<int>(std::lround(x * horizontal));
    const int top = static_cast<int>(std::lround(y * vertical));
    const int right = static_cast<int>(std::lround((x + w) * horizontal));
    const int bottom = static_cast<int>(std::lround((y + h) * vertical));
    return QRect(left, top, right - left, bottom - top);
}

int DialogUnits::width(int units) const
{
    return static_cast<int>(std::lround(units * horizontal));
}

int DialogUnits::height(int units) const
{
    return static_cast<int>(std::lround(units * vertical));
}

QFont dialogFont()
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSizeF(8.0);
    return font;
}

double dialogDpi()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->logicalDotsPerInch() : kReferenceDpi;
}

void createTemplateControls(QWidget* dialog, const DialogTemplate& dialogTemplate, const DialogUnits& units)
{
    dialog->setWindowTitle(QString::fromUtf8(dialogTemplate.caption));
    dialog->setFixedSize(units.width(dialogTemplate.width), units.height(dialogTemplate.height));
    QWidget* previous = nullptr;
    for (int i = 0; i < dialogTemplate.controlCount; ++i) {
        const ControlTemplate& control = dialogTemplate.controls[i];
        QWidget* widget = makeWidget(dialog, control);
        widget->setObjectName(QString::number(control.id));
        int height = control.height;
        if (control.kind == ControlKind::PortList) {
            QComboBox* list = static_cast<QComboBox*>(widget);
            // The template's height is the opened list's: as many entries as fit.
            const int rowHeight = std::max(1, list->fontMetrics().height() + 4);
            list->setMaxVisibleItems(std::max(1, units.height(control.height - kClosedListHeight) / rowHeight));
            height = kClosedListHeight;
        }
        widget->setGeometry(units.rect(control.x, control.y, control.width, height));
        if (control.kind == ControlKind::Label || control.kind == ControlKind::RightLabel ||
            control.kind == ControlKind::Link || control.kind == ControlKind::GroupBox) {
            widget->setFocusPolicy(Qt::NoFocus);
            continue;
        }
        widget->setFocusPolicy(Qt::StrongFocus);
        if (previous != nullptr)
            QWidget::setTabOrder(previous, widget);
        previous = widget;
    }
}

void onPortListOpening(QWidget* list, std::function<void()> refresh)
{
    if (PortListBox* box = dynamic_cast<PortListBox*>(list))
        box->opening = std::move(refresh);
}

QString portListClosedText(const QWidget* list)
{
    const PortListBox* box = dynamic_cast<const PortListBox*>(list);
    return box != nullptr ? box->closedText() : QString();
}

QWidget* templateControl(const QWidget* dialog, int id)
{
    const QString name = QString::number(id);
    for (QObject* child : dialog->children()) {
        QWidget* widget = qobject_cast<QWidget*>(child);
        if (widget != nullptr && widget->objectName() == name)
            return widget;
    }
    return nullptr;
}

TemplateDialog::TemplateDialog(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint)
{
}

void TemplateDialog::keyPressEvent(QKeyEvent* event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (!enter || (event->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier) {
        QDialog::keyPressEvent(event);
        return;
    }
    if (QPushButton* button = qobject_cast<QPushButton*>(focusWidget())) {
        button->click();
        return;
    }
    accept();
}
