#include "ui/dialog_templates.h"

#include "resources/resource_ids.h"

namespace {

using K = ControlKind;

const ControlTemplate kMainControls[] = {
    {IDC_PORT_LABEL, K::RightLabel, 0x50020002, 5, 6, 40, 12, "Port:"},
    {IDC_PORT_LIST, K::PortList, 0x50210003, 48, 4, 70, 200, ""},
    {IDC_CONNECT, K::Button, 0x50010000, 120, 4, 60, 14, "Connect"},
    {IDC_DISCONNECT, K::Button, 0x50010000, 182, 4, 60, 14, "Disconnect"},
    {IDC_STATUS_LABEL, K::RightLabel, 0x50020002, 5, 23, 40, 10, "Status:"},
    {IDC_STATUS, K::ReadOnlyField, 0x50810880, 48, 22, 242, 12, ""},
    {IDC_STOP, K::Button, 0x50010000, 38, 70, 24, 20, "STOP"},
    {IDC_UP, K::BitmapButton, 0x50010080, 38, 48, 24, 20, ""},
    {IDC_DOWN, K::BitmapButton, 0x50010080, 38, 92, 24, 20, ""},
    {IDC_LEFT, K::BitmapButton, 0x50010080, 12, 70, 24, 20, ""},
    {IDC_RIGHT, K::BitmapButton, 0x50010080, 64, 70, 24, 20, ""},
    {IDC_REMOTE_GROUP, K::GroupBox, 0x50000007, 100, 38, 190, 126, "DSLR remote"},
    {IDC_KIND_INTERNAL, K::RadioButton, 0x50010004, 106, 50, 182, 10,
     "Merlin internal (Optionally: Kestrava Bluetooth V1)"},
    {IDC_KIND_RTS_CABLE, K::RadioButton, 0x50010004, 106, 62, 182, 10, "Kestrava combined USB cable (RTS signal)"},
    {IDC_KIND_ADAPTER_V2, K::RadioButton, 0x50010004, 106, 74, 182, 10, "Kestrava Bluetooth V2"},
    {IDC_EXP_ON, K::Button, 0x50010000, 110, 90, 44, 14, "Exp on"},
    {IDC_EXP_OFF, K::Button, 0x50010000, 156, 90, 44, 14, "Exp off"},
    {IDC_FOCUS_ON, K::Button, 0x50010000, 110, 108, 44, 14, "Focus on"},
    {IDC_FOCUS_OFF, K::Button, 0x50010000, 156, 108, 44, 14, "Focus off"},
    {IDC_TIMER_LABEL, K::RightLabel, 0x50020002, 106, 130, 64, 10, "Self-timed (ms):"},
    {IDC_TIMER_VALUE, K::Field, 0x50810080, 172, 129, 32, 12, ""},
    {IDC_TIMER_START, K::Button, 0x50010000, 206, 128, 44, 14, "Start"},
    {IDC_TIMER_STATUS_LABEL, K::RightLabel, 0x50020002, 106, 146, 64, 10, "Timer status:"},
    {IDC_TIMER_STATUS, K::ReadOnlyField, 0x50810880, 172, 145, 32, 12, ""},
    {IDC_TIMER_READ, K::Button, 0x50010000, 206, 144, 44, 14, "Read"},
    {IDC_ABOUT, K::Button, 0x50010000, 20, 140, 60, 16, "About..."},
};

const ControlTemplate kAboutControls[] = {
    {IDC_ABOUT_TITLE, K::Label, 0x50020000, 8, 8, 180, 14, "Testprogram for Merlin mounts (V 1.0)"},
    {IDC_ABOUT_DESCRIPTION, K::Label, 0x50020000, 8, 28, 180, 20,
     "Checks that a mount's motor controller answers,\njogs and stops both axes, and fires the camera."},
    {IDC_ABOUT_CREDIT, K::Label, 0x50020000, 8, 58, 180, 10, "Written by the MerlinTest developers"},
    {IDC_ABOUT_LINK, K::Link, 0x50000100, 10, 70, 160, 10, "https://merlintest.example.org/"},
    {IDC_ABOUT_EXIT, K::Button, 0x50010000, 10, 85, 60, 16, "Exit"},
};

}  // namespace

const DialogTemplate kMainDialogTemplate = {
    IDD_MAIN,      "Testing Merlin, Autotrack and SupaTrak mounts (V 1.0)",         32, 32, 294, 168,
    kMainControls, static_cast<int>(sizeof kMainControls / sizeof kMainControls[0])};

const DialogTemplate kAboutDialogTemplate = {IDD_ABOUT,
                                             "About",
                                             32,
                                             32,
                                             192,
                                             105,
                                             kAboutControls,
                                             static_cast<int>(sizeof kAboutControls / sizeof kAboutControls[0])};
