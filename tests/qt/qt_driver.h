// Driving the Qt dialogs in tests: their controls by id, waits on what they
// show, and work to do inside a modal loop that a click is about to start.
#pragma once

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QString>
#include <QTest>
#include <QTimer>
#include <functional>
#include <string>

#include "resources/resource_ids.h"
#include "ui/qt/template_widgets.h"

// Generous: a handshake is ~0.5 s plus six round trips, on a loaded machine.
constexpr int kQtWaitMs = 20000;

template <typename Widget> Widget* controlOf(const QWidget* dialog, int id)
{
    return qobject_cast<Widget*>(templateControl(dialog, id));
}

// The port list's entries keep their COM number as their data, wherever the
// list puts them.
inline void choosePort(const QWidget* dialog, unsigned com)
{
    QComboBox* list = controlOf<QComboBox>(dialog, IDC_PORT_LIST);
    list->setCurrentIndex(list->findData(static_cast<int>(com)));
}

inline unsigned chosenPort(const QWidget* dialog)
{
    return controlOf<QComboBox>(dialog, IDC_PORT_LIST)->currentData().toUInt();
}

inline QString fieldText(const QWidget* dialog, int id)
{
    QLineEdit* field = controlOf<QLineEdit>(dialog, id);
    return field != nullptr ? field->text() : QStringLiteral("(no field)");
}

inline bool waitForField(const QWidget* dialog, int id, const QString& text)
{
    return QTest::qWaitFor([&] { return fieldText(dialog, id) == text; }, kQtWaitMs);
}

// Runs `work` on the modal window that the next step opens, from inside its
// own loop; `work` must close the window.
inline void whenModalOpens(std::function<void(QWidget*)> work)
{
    QTimer::singleShot(0, [work] {
        QWidget* modal = nullptr;
        if (!QTest::qWaitFor([&] { return (modal = QApplication::activeModalWidget()) != nullptr; }, kQtWaitMs))
            return;
        // Active, so its keys and focus are its own.
        if (QTest::qWaitForWindowActive(modal))
            work(modal);
        else
            modal->close();
    });
}

// The same for a modal window of one kind (a message box, a file chooser)
// opened from inside another modal window's loop.
template <typename Window> void whenModalOfKindOpens(std::function<void(Window*)> work)
{
    QTimer::singleShot(0, [work] {
        Window* modal = nullptr;
        if (QTest::qWaitFor(
                [&] { return (modal = qobject_cast<Window*>(QApplication::activeModalWidget())) != nullptr; },
                kQtWaitMs))
            work(modal);
    });
}

inline std::string text(const QString& s)
{
    return s.toStdString();
}
