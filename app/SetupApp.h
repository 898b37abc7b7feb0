#pragma once
#include "WinApp.h"

// Brings GDI+ up, runs the setup window as one modal dialog, takes GDI+ down.
class CSetupApp : public CWinApp {
public:
    CSetupApp() {}
    BOOL InitInstance() override;
    int ExitInstance() override;
};
