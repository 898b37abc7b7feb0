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

void CSetupDlg::DrawFocusMark(Gdiplus::Graphics* pGraphics) {
    // A frame in the skin's white about the button; in high contrast, the
    // system's highlight colour.
    Gdiplus::Color color(255, 255, 255);
    if (IsHighContrast()) color.SetFromCOLORREF(::GetSysColor(COLOR_HIGHLIGHT));
    Gdiplus::Pen pen(color, static_cast<Gdiplus::REAL>(Scale(2)));
    RECT rc = PartRect(m_nFocus);
    // Around the round install button; inside the glyph areas at the edge.
    INT nInset = Scale(m_nFocus == PART_INSTALL ? -3 : 3);
    pGraphics->DrawRectangle(
        &pen, Gdiplus::Rect(rc.left + nInset, rc.top + nInset, rc.right - rc.left - 2 * nInset - 1,
                            rc.bottom - rc.top - 2 * nInset - 1));
}

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
            // At 100 % the 1x images go through untouched. Scaled, they are
            // resampled smoothly, and the edges repeat the image's own
            // pixels instead of fading into transparent ones.
            Gdiplus::ImageAttributes tile;
            Gdiplus::ImageAttributes* pTile = NULL;
            if (m_nDpi != 96) {
                pGraphics->SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
                pGraphics->SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
                tile.SetWrapMode(Gdiplus::WrapModeTileFlipXY);
                pTile = &tile;
            }
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
                                     h, Gdiplus::UnitPixel, pTile);
                bComplete = true;
                if (m_nState == STATE_INSTALLING) {
                    bComplete = false;
                    RECT rcBar = PartRect(PART_PROGRESS);
                    INT barY = rcBar.top, barH = rcBar.bottom - rcBar.top;
                    if (IsUsable(m_pImgBarTrack)) {
                        INT tw = static_cast<INT>(m_pImgBarTrack->GetWidth());
                        INT th = static_cast<INT>(m_pImgBarTrack->GetHeight());
                        pGraphics->DrawImage(m_pImgBarTrack,
                                             Gdiplus::Rect(0, barY, rcBar.right, barH), 0, 0, tw,
                                             th, Gdiplus::UnitPixel, pTile);
                        if (IsUsable(m_pImgBarFill)) {
                            INT fw = FillWidthForProgress(m_nProgress);
                            INT fh = static_cast<INT>(m_pImgBarFill->GetHeight());
                            pGraphics->DrawImage(m_pImgBarFill,
                                                 Gdiplus::Rect(0, barY, Scale(fw), barH), 0, 0, fw,
                                                 fh, Gdiplus::UnitPixel, pTile);
                            bComplete = true;
                        }
                    }
                }
                if (m_nFocus != PART_NONE) DrawFocusMark(pGraphics);
            }
            if (bComplete) screen.DrawImage(&frame, 0, 0);
        }
        delete pGraphics;
    }
    ::EndPaint(m_hWnd, &ps);
    return true;
}
