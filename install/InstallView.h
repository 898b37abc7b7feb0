#pragma once
// What the installation shows. The window posts each call to its own thread,
// in order, and never makes the worker wait for it.
#include <windows.h>

class IInstallView {
public:
    virtual ~IInstallView() {}
    // Text of the status label, while that label exists; visibility and
    // colour stay as they are.
    virtual void ShowStatusText(const wchar_t* pszText) = 0;
    // The failure: status label shown, red, with this text.
    virtual void ShowFailure(const wchar_t* pszText) = 0;
    // Percent label "%d%%" and a repaint of the progress bar.
    virtual void ShowProgress(int nProgress) = 0;
    // Arms the launch timer (4660, 1000 ms).
    virtual void ArmLaunchTimer() = 0;
    // A package is unpacked into the new installation.
    virtual void ShowPackageDone(const wchar_t* /*pszName*/, DWORD /*cbBytes*/) {}
};
