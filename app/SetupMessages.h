#pragma once
// Messages the worker posts to the setup window, and the window's own ids.
#include <windows.h>

enum {
    // lParam: wchar_t* from new[]; the window frees it.
    WM_SETUP_STATUS_TEXT = WM_APP + 1,
    // lParam: wchar_t* from new[]; the window frees it.
    WM_SETUP_FAILURE = WM_APP + 2,
    // wParam: progress in percent.
    WM_SETUP_PROGRESS = WM_APP + 3,
    WM_SETUP_ARM_TIMER = WM_APP + 4,
    // wParam: the part a screen reader pressed (its default action), acted on
    // outside its call.
    WM_SETUP_PRESS = WM_APP + 5,
};

enum {
    IDD_SETUP_DIALOG = 102,
    IDR_MAINFRAME = 128,
    IDC_STATIC_PERCENT = 1000,
    IDC_STATIC_STATUS = 1001,
    IDR_JGP_START = 140,
    IDR_JGP_SLIDE1 = 141,
    IDR_JGP_SLIDE2 = 142,
    IDR_JGP_SLIDE3 = 143,
    IDR_JGP_BAR_TRACK = 144,
    IDR_JGP_BAR_FILL = 145,
    IDR_JGP_SLIDE4 = 146,
};

enum { TIMER_LAUNCH_CLIENT = 4660 };

// The setup window's text: never drawn (the window has no caption), but the
// taskbar shows it and a second installer finds the first by it.
#define SETUP_WINDOW_TEXT L"塔维罗安装程序"
