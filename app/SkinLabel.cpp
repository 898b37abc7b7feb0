#include "SkinLabel.h"

CSkinLabel::CSkinLabel() : m_crText(RGB(51, 47, 46)), m_hBkBrush(NULL) {
    LOGBRUSH lb = {BS_SOLID, RGB(255, 255, 255), 0};
    m_hBkBrush = ::CreateBrushIndirect(&lb);
}

CSkinLabel::~CSkinLabel() {
    if (m_hBkBrush) ::DeleteObject(m_hBkBrush);
    m_hBkBrush = NULL;
}

HBRUSH CSkinLabel::OnCtlColor(HDC hDC) {
    ::SetTextColor(hDC, m_crText);
    ::SetBkMode(hDC, TRANSPARENT);
    return m_hBkBrush;
}
