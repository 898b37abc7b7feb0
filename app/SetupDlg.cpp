#include "SetupDlg.h"

#include "DestPath.h"
#include "GdiPlus.h"
#include "SetupMessages.h"
#include "StrFormat.h"
#include "WindowDpi.h"

CSetupDlg::CSetupDlg(HWND hParent)
    : CDialog(IDD_SETUP_DIALOG, hParent),
      m_hIcon(NULL),
      m_rcClose(),
      m_rcInstall(),
      m_rcMinimize(),
      m_nState(STATE_IDLE),
      m_bAsking(false),
      m_bLaunchPending(false),
      m_hHandCursor(NULL),
      m_nDpi(96),
      m_nFocus(PART_NONE),
      m_pAccessible(NULL) {
    m_hIcon = ::LoadIconW(::GetModuleHandleW(NULL), MAKEINTRESOURCEW(IDR_MAINFRAME));
    LoadJgpImage(IDR_JGP_START, &m_pImgStart);
    LoadJgpImage(IDR_JGP_SLIDE1, &m_pImgSlide1);
    LoadJgpImage(IDR_JGP_SLIDE2, &m_pImgSlide2);
    LoadJgpImage(IDR_JGP_SLIDE3, &m_pImgSlide3);
    LoadJgpImage(IDR_JGP_SLIDE4, &m_pImgSlide4);
    LoadJgpImage(IDR_JGP_BAR_FILL, &m_pImgBarFill);
    LoadJgpImage(IDR_JGP_BAR_TRACK, &m_pImgBarTrack);
    GetDestPath();
    m_hHandCursor = ::LoadCursorW(NULL, MAKEINTRESOURCEW(32649));
    m_setInstallKind.insert(1);
    m_setInstallKind.insert(IsFontAvailable(L"微软雅黑") ? 2 : 3);
}

CSetupDlg::~CSetupDlg() {
    // Teardown has deleted the images already; this covers a window that
    // never came up.
    DeleteImages();
}

void CSetupDlg::GetDestPath() { ::GetDestPath(m_szSetupPath, m_szTempPath, m_szUnInstallPath); }

void CSkinImage::Reset(Gdiplus::Image* p) {
    delete m_p;
    m_p = p;
}

void CSetupDlg::LoadJgpImage(WORD wID, CSkinImage* pImage) {
    HMODULE hModule = ::GetModuleHandleW(NULL);
    HRSRC hRes = ::FindResourceW(hModule, MAKEINTRESOURCEW(wID), L"JGP");
    if (!hRes) return;
    DWORD cb = ::SizeofResource(hModule, hRes);
    HGLOBAL hResData = ::LoadResource(hModule, hRes);
    const void* pResBytes = hResData ? ::LockResource(hResData) : NULL;
    if (pResBytes) pImage->Reset(LoadSkinImage(pResBytes, cb));
}

Gdiplus::Image* CSetupDlg::LoadSkinImage(const void* pBytes, DWORD cb) {
    if (!pBytes || cb == 0) return NULL;
    // The image reads from the stream for as long as it lives, so the block
    // stays allocated for the rest of the process.
    HGLOBAL hBlock = ::GlobalAlloc(GMEM_FIXED, cb);
    if (!hBlock) return NULL;
    void* pBlock = ::GlobalLock(hBlock);
    if (!pBlock) {
        ::GlobalFree(hBlock);
        return NULL;
    }
    memcpy(pBlock, pBytes, cb);
    Gdiplus::Image* pImage = NULL;
    IStream* pStream = NULL;
    if (::CreateStreamOnHGlobal(hBlock, FALSE, &pStream) == S_OK && pStream) {
        pImage = Gdiplus::Image::FromStream(pStream, FALSE);
        pStream->Release();
    }
    ::GlobalUnlock(hBlock);
    // Kept only when it decoded: reading the status resets it, so a broken
    // image would otherwise pass every second look.
    if (pImage && pImage->GetLastStatus() != Gdiplus::Ok) {
        delete pImage;
        pImage = NULL;
    }
    if (!pImage) ::GlobalFree(hBlock);
    return pImage;
}

void CSetupDlg::DeleteImages() {
    CSkinImage* images[] = {&m_pImgStart,  &m_pImgSlide1,  &m_pImgSlide2,  &m_pImgSlide3,
                            &m_pImgSlide4, &m_pImgBarFill, &m_pImgBarTrack};
    for (CSkinImage* pImage : images) pImage->Reset();
}

namespace {
struct FaceSearch {
    const wchar_t* pszFace;
    BOOL bFound;
};

int CALLBACK EnumFaceProc(const LOGFONTW* pLogFont, const TEXTMETRICW*, DWORD, LPARAM lParam) {
    FaceSearch* pSearch = reinterpret_cast<FaceSearch*>(lParam);
    if (::lstrcmpiW(pLogFont->lfFaceName, pSearch->pszFace) == 0) {
        pSearch->bFound = TRUE;
        return 0;
    }
    return 1;
}
}  // namespace

BOOL CSetupDlg::HasGdiFontFace(const wchar_t* pszFace) {
    HWND hDesktop = ::GetDesktopWindow();
    HDC hDC = ::GetDC(hDesktop);
    if (!hDC) return FALSE;
    LOGFONTW lf = {};
    lf.lfCharSet = DEFAULT_CHARSET;
    ::lstrcpynW(lf.lfFaceName, pszFace, LF_FACESIZE);
    FaceSearch search = {pszFace, FALSE};
    ::EnumFontFamiliesExW(hDC, &lf, EnumFaceProc, reinterpret_cast<LPARAM>(&search), 0);
    ::ReleaseDC(hDesktop, hDC);
    return search.bFound;
}

BOOL CSetupDlg::HasGdiplusFontFamily(const wchar_t* pszFace) {
    Gdiplus::InstalledFontCollection collection;
    INT nCount = collection.GetFamilyCount();
    if (nCount <= 0) return FALSE;
    Gdiplus::FontFamily* pFamilies = new Gdiplus::FontFamily[nCount];
    if (!pFamilies) return FALSE;
    INT nFound = 0;
    BOOL bMatch = FALSE;
    if (collection.GetFamilies(nCount, pFamilies, &nFound) == Gdiplus::Ok) {
        for (INT i = 0; i < nFound && !bMatch; ++i) {
            WCHAR szName[128] = {0};
            if (pFamilies[i].GetFamilyName(szName, 0) == Gdiplus::Ok &&
                wcscmp(szName, pszFace) == 0) {
                bMatch = TRUE;
            }
        }
    }
    delete[] pFamilies;
    return bMatch;
}

BOOL CSetupDlg::IsFontAvailable(const wchar_t* pszFace) {
    BOOL bGdi = HasGdiFontFace(pszFace);
    BOOL bGdiplus = HasGdiplusFontFamily(pszFace);
    return bGdi && bGdiplus;
}

BOOL CSetupDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    ::SetWindowTextW(m_hWnd, SETUP_WINDOW_TEXT);
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);
    KeepOwnDpiLayout(m_hWnd);
    m_nDpi = WindowDpi(m_hWnd);
    // The template's size is replaced by the skin's; the position stays, so
    // the dialog is centred on the work area when it first shows.
    ::SetWindowPos(m_hWnd, NULL, 0, 0, Scale(530), Scale(360),
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT rcNone = {};
    m_stcPercent.Create(L"", WS_VISIBLE | SS_RIGHT, rcNone, m_hWnd, IDC_STATIC_PERCENT);
    m_stcPercent.SetWindowText(L"0%");
    m_stcPercent.ShowWindow(SW_HIDE);
    m_stcStatus.Create(L"", WS_VISIBLE | SS_CENTER, rcNone, m_hWnd, IDC_STATIC_STATUS);
    m_stcStatus.ShowWindow(SW_HIDE);
    LayOut();
    // FALSE: the dialog manager would hand the focus to a label; the window
    // takes it itself when it is activated (OnActivate).
    return FALSE;
}

int CSetupDlg::Scale(int n) const { return ScaleForDpi(n, m_nDpi); }

void CSetupDlg::LayOut() {
    m_rcClose = {Scale(500), 0, Scale(530), Scale(32)};
    m_rcInstall = {Scale(185), Scale(287), Scale(359), Scale(334)};
    m_rcMinimize = {Scale(470), 0, Scale(500), Scale(32)};

    // Text is drawn at the scaled size, never stretched.
    LOGFONTW lf = {};
    lf.lfHeight = Scale(14);
    lf.lfWeight = FW_NORMAL;
    lf.lfCharSet = DEFAULT_CHARSET;
    ::lstrcpynW(lf.lfFaceName, L"宋体", LF_FACESIZE);
    m_font.CreateFontIndirect(&lf);

    m_stcPercent.MoveWindow(Scale(490), Scale(341), Scale(525) - Scale(490),
                            Scale(359) - Scale(341));
    m_stcPercent.SetFont(m_font.GetSafeHandle(), TRUE);
    m_stcStatus.MoveWindow(Scale(34), Scale(324), Scale(494) - Scale(34), Scale(342) - Scale(324));
    m_stcStatus.SetFont(m_font.GetSafeHandle(), TRUE);
}

DWORD CSetupDlg::Execute() {
    // No owner for the boxes the worker shows: an owned box disables the
    // window, which needs the UI thread, and that may be waiting for the
    // worker at teardown.
    RunInstallSequence(*this, *this, m_hStopEvent, NULL);
    return 1;
}

// The worker's view of the window: everything goes through the window's
// queue, so the worker never waits for the UI thread, also while the UI
// thread waits for the worker at teardown.
void CSetupDlg::PostText(UINT uMsg, const wchar_t* pszText) {
    if (!m_hWnd) return;
    size_t n = wcslen(pszText);
    wchar_t* pszCopy = new (std::nothrow) wchar_t[n + 1];
    if (!pszCopy) return;
    wmemcpy(pszCopy, pszText, n + 1);
    if (!::PostMessageW(m_hWnd, uMsg, 0, reinterpret_cast<LPARAM>(pszCopy))) delete[] pszCopy;
}

void CSetupDlg::ShowStatusText(const wchar_t* pszText) { PostText(WM_SETUP_STATUS_TEXT, pszText); }

void CSetupDlg::ShowFailure(const wchar_t* pszText) { PostText(WM_SETUP_FAILURE, pszText); }

void CSetupDlg::ShowProgress(int nProgress) {
    if (m_hWnd) ::PostMessageW(m_hWnd, WM_SETUP_PROGRESS, static_cast<WPARAM>(nProgress), 0);
}

void CSetupDlg::ArmLaunchTimer() {
    if (m_hWnd) ::PostMessageW(m_hWnd, WM_SETUP_ARM_TIMER, 0, 0);
}

void CSetupDlg::UpdateProgress(int nProgress) {
    wchar_t szPercent[8];
    if (m_stcPercent.Exists() && FormatInto(szPercent, L"%d%%", nProgress)) {
        m_stcPercent.SetWindowText(szPercent);
    }
    ::InvalidateRect(m_hWnd, NULL, FALSE);
    NotifyPart(EVENT_OBJECT_VALUECHANGE, PART_PROGRESS);
}

bool CSetupDlg::OnAppMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
        case WM_SETUP_STATUS_TEXT:
        case WM_SETUP_FAILURE: {
            wchar_t* pszText = reinterpret_cast<wchar_t*>(lParam);
            if (m_stcStatus.Exists()) {
                if (uMsg == WM_SETUP_FAILURE) {
                    m_stcStatus.ShowWindow(SW_SHOW);
                    m_stcStatus.SetLabelColor(RGB(255, 0, 0));
                }
                m_stcStatus.SetWindowText(pszText);
                if (uMsg == WM_SETUP_FAILURE) NotifyPart(EVENT_OBJECT_SHOW, PART_STATUS);
                if (::IsWindowVisible(m_stcStatus))
                    NotifyPart(EVENT_OBJECT_NAMECHANGE, PART_STATUS);
            }
            delete[] pszText;
            return true;
        }
        case WM_SETUP_PROGRESS:
            UpdateProgress(static_cast<int>(wParam));
            return true;
        case WM_SETUP_PRESS:
            PressButton(static_cast<int>(wParam));
            return true;
        case WM_SETUP_ARM_TIMER:
            ::SetTimer(m_hWnd, TIMER_LAUNCH_CLIENT, 1000, NULL);
            return true;
        default:
            return false;
    }
}
