#pragma once
// The installer's one window, and the owner of the installation it runs on
// its worker thread.
#include <windows.h>

#include "Dialog.h"
#include "Font.h"
#include "InstallSequence.h"
#include "SkinLabel.h"
#include "WorkerThread.h"

namespace Gdiplus {
class Graphics;
class Image;
}  // namespace Gdiplus

enum { STATE_IDLE = 0, STATE_INSTALLING = 1 };

// The window's parts in tab order, also their accessible child ids.
enum {
    PART_NONE = 0,
    PART_INSTALL = 1,
    PART_MINIMIZE = 2,
    PART_CLOSE = 3,
    PART_PROGRESS = 4,
    PART_STATUS = 5,
    PART_COUNT = 5,
};

class CSetupAccessible;

// A skin image the window owns: deleted with it, read as the pointer it
// holds (NULL when it did not load).
class CSkinImage {
public:
    CSkinImage() : m_p(NULL) {}
    ~CSkinImage() { Reset(); }
    CSkinImage(const CSkinImage&) = delete;
    CSkinImage& operator=(const CSkinImage&) = delete;
    void Reset(Gdiplus::Image* p = NULL);
    operator Gdiplus::Image*() const { return m_p; }
    Gdiplus::Image* operator->() const { return m_p; }

private:
    Gdiplus::Image* m_p;
};

class CSetupDlg : public CDialog, public CWorkerThread, public CInstallState, private IInstallView {
public:
    explicit CSetupDlg(HWND hParent);
    ~CSetupDlg() override;

    DWORD Execute() override;

    // Whether the face is known both to GDI's enumeration (any letter case)
    // and to the GDI+ installed collection (exact name).
    static BOOL IsFontAvailable(const wchar_t* pszFace);
    static BOOL HasGdiFontFace(const wchar_t* pszFace);
    static BOOL HasGdiplusFontFamily(const wchar_t* pszFace);
    // The installing background for a progress value (1 to 4).
    static int SlideForProgress(int nProgress);
    // Width of the red fill for a progress value.
    static int FillWidthForProgress(int nProgress);
    // An image decoded from a copy of the bytes; NULL unless it decodes.
    static Gdiplus::Image* LoadSkinImage(const void* pBytes, DWORD cb);

protected:
    BOOL OnInitDialog() override;
    void DoDataExchange(CDataExchange*) override {}
    bool OnPaint() override;
    bool OnLButtonUp(UINT nFlags, POINT pt) override;
    bool OnMouseMove(UINT nFlags, POINT pt) override;
    bool OnNcHitTest(POINT pt, LRESULT* pResult) override;
    bool OnTimer(UINT_PTR nIDEvent) override;
    bool OnQueryDragIcon(HICON* phIcon) override;
    bool OnActivate(UINT nState) override;
    bool OnSetFocus() override { return true; }
    bool OnKeyDown(UINT nChar, LPARAM lKeyData) override;
    bool OnGetDlgCode(LRESULT* pResult) override;
    bool OnGetObject(WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;
    bool OnDpiChanged(UINT nDpi, const RECT* prcSuggested) override;
    bool OnAppMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) override;
    void OnNcDestroy() override;
    void OnOK() override;
    void OnCancel() override;

private:
    friend class CSetupAccessible;

    // A length of the 96-DPI design at the window's DPI.
    int Scale(int n) const;
    // Hit rectangles, font and labels at m_nDpi.
    void LayOut();
    // The live button under a client point, or PART_NONE.
    int ButtonAt(POINT pt) const;
    // A part's rectangle in client pixels.
    RECT PartRect(int nPart) const;
    bool IsButtonLive(int nPart) const;
    void PressButton(int nPart);
    // Tab order over the live buttons: +1 forward, -1 back.
    void MoveFocus(int nStep);
    void SetFocusPart(int nPart);
    // Tells screen readers that a part changed (a WinEvent).
    void NotifyPart(DWORD dwEvent, int nPart);
    // Screen readers holding the window's accessible object find it empty
    // once the window is gone.
    void DisconnectAccessible();
    void OnInstallClicked();
    // The one path every close request takes (close button, keys, system
    // menu): during an installation it asks first, then stops the worker.
    void RequestClose();
    // Starts the installed client and ends the window.
    void LaunchClient();
    void LoadJgpImage(WORD wID, CSkinImage* pImage);
    void GetDestPath();
    void DeleteImages();
    void DrawFocusMark(Gdiplus::Graphics* pGraphics);
    void UpdateProgress(int nProgress);

    // IInstallView, called on the worker thread: each posts to the window.
    void ShowStatusText(const wchar_t* pszText) override;
    void ShowFailure(const wchar_t* pszText) override;
    void ShowProgress(int nProgress) override;
    void ArmLaunchTimer() override;
    void PostText(UINT uMsg, const wchar_t* pszText);

    HICON m_hIcon;
    RECT m_rcClose;
    RECT m_rcInstall;
    RECT m_rcMinimize;
    int m_nState;
    bool m_bAsking;         // the stop question is open
    bool m_bLaunchPending;  // the launch timer fired while it was
    CSkinImage m_pImgStart;
    CSkinImage m_pImgSlide1;
    CSkinImage m_pImgSlide2;
    CSkinImage m_pImgSlide3;
    CSkinImage m_pImgSlide4;
    CSkinImage m_pImgBarTrack;
    CSkinImage m_pImgBarFill;
    CSkinLabel m_stcPercent;
    CSkinLabel m_stcStatus;
    CFont m_font;
    HCURSOR m_hHandCursor;
    UINT m_nDpi;
    int m_nFocus;  // the button with the keyboard's focus mark, or PART_NONE
    CSetupAccessible* m_pAccessible;
};
