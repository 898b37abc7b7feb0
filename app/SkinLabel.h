#pragma once
// A static label drawn in its own text colour on white.
#include "Static.h"

class CSkinLabel : public CStatic {
public:
    CSkinLabel();
    ~CSkinLabel() override;

    // Takes effect with the next text set on the label.
    void SetLabelColor(COLORREF crText) { m_crText = crText; }
    HBRUSH OnCtlColor(HDC hDC) override;

private:
    COLORREF m_crText;
    HBRUSH m_hBkBrush;
};

// Whether the user has asked for high contrast: painted parts then take the
// system's colours.
bool IsHighContrast();
