// Templates 100 (main dialog) and 101 (About box) as tables, for front-ends
// that build their controls themselves (Qt). The Win32 program compiles the
// same templates from resources/merlintest.rc; a test keeps the two equal.
// Coordinates are dialog units; controls are in template (= tab) order.
#pragma once

#include <cstdint>

enum class ControlKind {
    Label,          // static text, left-aligned
    RightLabel,     // static text, right-aligned
    PortList,       // drop-down list; its height is that of the opened list
    Button,         // push button
    BitmapButton,   // push button that shows a bitmap instead of a text
    RadioButton,    // checked by the dialog itself, not by the click
    Field,          // single-line edit with a border
    ReadOnlyField,  // the same, read-only
    GroupBox,       // a frame with a title; not a parent of the controls in it
    Link            // static text that reports clicks, drawn as a link
};

struct ControlTemplate {
    int id;
    ControlKind kind;
    uint32_t style;  // the Win32 style bits of the compiled template
    int x, y, width, height;
    const char* text;  // UTF-8
};

struct DialogTemplate {
    int id;
    const char* caption;
    int x, y, width, height;
    const ControlTemplate* controls;
    int controlCount;
};

extern const DialogTemplate kMainDialogTemplate;
extern const DialogTemplate kAboutDialogTemplate;
