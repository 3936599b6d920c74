// Resource and control ids of Spoolrig's resource script, shared by the
// script and the dialog code. Plain #defines, so that windres reads it too.
#pragma once

// Application icon, shown by Select OS and About, the window icon of
// Detail Setting.
#define IDR_MAINFRAME 128

// Text of the About entry in Detail Setting's window menu.
#define IDS_ABOUTBOX 101
// Command of that entry; the window system keeps the low four bits of
// window-menu commands for itself.
#define IDM_ABOUTBOX 0x0010

// About box.
#define IDD_ABOUTBOX 100

// Select OS dialog.
#define IDD_SELECT_OS 129
#define IDC_RADIO_WIN2000 1003
#define IDC_RADIO_WINXP 1004
#define IDC_SELECT_NEXT 1009
#define IDC_SELECT_CANCEL 1010
#define IDC_RADIO_WIN2003 1011
#define IDC_RADIO_VISTA 1012
#define IDC_RADIO_WIN7 1013

// Detail Setting dialog.
#define IDD_DETAIL_SETTING 102
#define IDC_DETAIL_BACK 1008
#define IDC_DETAIL_OK 1009
#define IDC_DETAIL_CANCEL 1010
#define IDC_MODEL_LIST 1011
#define IDC_SET_DEFAULT 1012
#define IDC_PRINTER_NAME 1013
#define IDC_PORT_LIST 1014
#define IDC_BAUD_LIST 1015
#define IDC_BYTE_SIZE_LIST 1016
#define IDC_FLOW_LIST 1017
#define IDC_PARITY_LIST 1018
#define IDC_STOP_BITS_LIST 1019
