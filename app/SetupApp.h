#pragma once
#include "WinApp.h"

// Brings GDI+ up, runs the setup window as one modal dialog, takes GDI+ down.
// With /S, runs the installation without a window instead. The process's
// exit code says how it went either way (ExitCodes.h).
class CSetupApp : public CWinApp {
public:
    CSetupApp() : m_nExitCode(0) {}
    BOOL InitInstance() override;
    int ExitInstance() override;

private:
    int Install();
    int m_nExitCode;
};
