/* Identifiers of the dialog templates, their controls and the arrow bitmaps.
   Plain #defines: the resource compiler reads this file too. */
#ifndef MERLINTEST_RESOURCE_IDS_H
#define MERLINTEST_RESOURCE_IDS_H

/* Templates */
#define IDD_MAIN 100
#define IDD_ABOUT 101

/* Arrow bitmaps */
#define IDB_ARROW_LEFT 100
#define IDB_ARROW_RIGHT 101
#define IDB_ARROW_UP 102
#define IDB_ARROW_DOWN 103

/* Main dialog controls */
#define IDC_PORT_LABEL 1000
#define IDC_PORT_LIST 102
#define IDC_CONNECT 100
#define IDC_DISCONNECT 101
#define IDC_STATUS_LABEL 1001
#define IDC_STATUS 110
#define IDC_STOP 140
#define IDC_UP 141
#define IDC_DOWN 142
#define IDC_LEFT 143
#define IDC_RIGHT 144
#define IDC_REMOTE_GROUP 1002
#define IDC_KIND_INTERNAL 150
#define IDC_KIND_RTS_CABLE 151
#define IDC_KIND_ADAPTER_V2 152
#define IDC_EXP_ON 160
#define IDC_EXP_OFF 161
#define IDC_FOCUS_ON 162
#define IDC_FOCUS_OFF 163
#define IDC_TIMER_LABEL 1002
#define IDC_TIMER_VALUE 170
#define IDC_TIMER_START 164
#define IDC_TIMER_STATUS_LABEL 1003
#define IDC_TIMER_STATUS 171
#define IDC_TIMER_READ 165
#define IDC_ABOUT 180

/* About box controls */
#define IDC_ABOUT_TITLE 101
#define IDC_ABOUT_DESCRIPTION 102
#define IDC_ABOUT_CREDIT 103
#define IDC_ABOUT_LINK 104
#define IDC_ABOUT_EXIT 2

#endif
