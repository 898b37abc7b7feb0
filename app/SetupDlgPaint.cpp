#include "GdiPlus.h"
#include "SetupDlg.h"

namespace {
// Only images that decoded are kept (LoadSkinImage).
bool IsUsable(Gdiplus::Image* pImage) { return pImage != NULL; }
}  // namespace

int CSetupDlg::SlideForProgress(int p) {
    if (p <= 12) return 1;
    if (p <= 25) return 2;
    if (p <= 37) return 3;
    if (p <= 50) return 4;
    if (p <= 62) return 1;
    if (p <= 75) return 2;
    if (p <= 87) return 3;
    return 4;
}

int CSetupDlg::FillWidthForProgress(int nProgress) { return nProgress * 49 / 10; }

bool CSetupDlg::OnPaint() {
    PAINTSTRUCT ps;
    HDC hDC = ::BeginPaint(m_hWnd, &ps);
    {
        // Every frame is composed off-screen and copied in one draw, so the
        // window never shows half a frame.
        Gdiplus::Graphics screen(hDC);
        RECT rc;
        ::GetClientRect(m_hWnd, &rc);
        INT cx = rc.right - rc.left, cy = rc.bottom - rc.top;
        Gdiplus::Bitmap frame(cx, cy, PixelFormat32bppARGB);
        Gdiplus::Graphics* pGraphics =
            frame.GetLastStatus() == Gdiplus::Ok ? Gdiplus::Graphics::FromImage(&frame) : NULL;
        if (pGraphics && pGraphics->GetLastStatus() == Gdiplus::Ok) {
            pGraphics->SetSmoothingMode(Gdiplus::SmoothingModeHighQuality);
            Gdiplus::Image* pBackground = m_pImgStart;
            if (m_nState == STATE_INSTALLING) {
                Gdiplus::Image* slides[] = {m_pImgSlide1, m_pImgSlide2, m_pImgSlide3, m_pImgSlide4};
                pBackground = slides[SlideForProgress(m_nProgress) - 1];
            }
            bool bComplete = false;
            if (IsUsable(pBackground)) {
                INT w = static_cast<INT>(pBackground->GetWidth());
                INT h = static_cast<INT>(pBackground->GetHeight());
                pGraphics->DrawImage(pBackground, Gdiplus::Rect(rc.left, rc.top, cx, cy), 0, 0, w,
                                     h, Gdiplus::UnitPixel);
                bComplete = true;
                if (m_nState == STATE_INSTALLING) {
                    bComplete = false;
                    if (IsUsable(m_pImgBarTrack)) {
                        INT tw = static_cast<INT>(m_pImgBarTrack->GetWidth());
                        INT th = static_cast<INT>(m_pImgBarTrack->GetHeight());
                        pGraphics->DrawImage(m_pImgBarTrack, Gdiplus::Rect(0, 346, 490, 8), 0, 0,
                                             tw, th, Gdiplus::UnitPixel);
                        if (IsUsable(m_pImgBarFill)) {
                            INT fw = FillWidthForProgress(m_nProgress);
                            INT fh = static_cast<INT>(m_pImgBarFill->GetHeight());
                            pGraphics->DrawImage(m_pImgBarFill, Gdiplus::Rect(0, 346, fw, 8), 0, 0,
                                                 fw, fh, Gdiplus::UnitPixel);
                            bComplete = true;
                        }
                    }
                }
            }
            if (bComplete) screen.DrawImage(&frame, 0, 0);
        }
        delete pGraphics;
    }
    ::EndPaint(m_hWnd, &ps);
    return true;
}
