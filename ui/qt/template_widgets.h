// Building a dialog template's controls as Qt widgets: the same ids (each
// widget's objectName), texts, order and places, with dialog units in pixels.
#pragma once

#include <QDialog>
#include <QFont>
#include <QRect>
#include <QWidget>
#include <functional>

#include "ui/dialog_templates.h"

// One dialog unit in pixels. At 96 dpi, "MS Shell Dlg" 8 pt makes a
// horizontal unit 1.5 px and a vertical one 1.625 px; both scale with the
// screen's dpi, and grow with a font that is wider or taller than that one
// (as Windows derives them from the dialog font), so no text is clipped.
struct DialogUnits {
    double horizontal;
    double vertical;

    static DialogUnits forFont(const QFont& font, double dpi);
    QRect rect(int x, int y, int width, int height) const;
    int width(int units) const;
    int height(int units) const;
};

// The font both dialogs use: the desktop's general font at 8 points.
QFont dialogFont();
// The dpi the dialogs are laid out for: the primary screen's logical dpi.
double dialogDpi();

// Creates the template's controls in template order as children of `dialog`,
// sizes the dialog to the template and sets the tab order to the template
// order. Labels and group boxes take no focus.
void createTemplateControls(QWidget* dialog, const DialogTemplate& dialogTemplate, const DialogUnits& units);

// A dialog window as Win32's dialog manager runs one: fixed size, a caption
// with a close box, and Enter handled as there: a focused push button takes
// it as a click, otherwise it is accept() (IDOK), since no button is the
// default one. Esc and the close box are reject() (IDCANCEL).
class TemplateDialog : public QDialog {
public:
    explicit TemplateDialog(QWidget* owner);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

// Runs `refresh` each time the port list (a PortList control) opens, before
// it shows its entries.
void onPortListOpening(QWidget* list, std::function<void()> refresh);

// The port list's entries keep their COM number in Qt::UserRole and what the
// closed box shows of them in this role (the entry's text up to its first
// space when it has none).
constexpr int kPortClosedTextRole = Qt::UserRole + 1;
// What the closed port list shows: the current entry's closed text, elided
// at its end to the room the box has.
QString portListClosedText(const QWidget* list);

// The control with the id; the first in template order when two share it.
QWidget* templateControl(const QWidget* dialog, int id);
