#include "SkinLabel.h"

CSkinLabel::CSkinLabel() : m_crText(RGB(51, 47, 46)), m_hBkBrush(NULL) {
    LOGBRUSH lb = {BS_SOLID, RGB(255, 255, 255), 0};
    m_hBkBrush = ::CreateBrushIndirect(&lb);
}

CSkinLabel::~CSkinLabel() {
    if (m_hBkBrush) ::DeleteObject(m_hBkBrush);
    m_hBkBrush = NULL;
}

bool IsHighContrast() {
    HIGHCONTRASTW hc = {};
    hc.cbSize = sizeof(hc);
    return ::SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(hc), &hc, 0) &&
           (hc.dwFlags & HCF_HIGHCONTRASTON);
}

HBRUSH CSkinLabel::OnCtlColor(HDC hDC) {
    ::SetBkMode(hDC, TRANSPARENT);
    // High contrast: the user's own colours, so the text stays legible.
    if (IsHighContrast()) {
        ::SetTextColor(hDC, ::GetSysColor(COLOR_WINDOWTEXT));
        return ::GetSysColorBrush(COLOR_WINDOW);
    }
    ::SetTextColor(hDC, m_crText);
    return m_hBkBrush;
}
