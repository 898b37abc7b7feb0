#pragma once
// A GDI font that this object owns.
#include <windows.h>

class CFont {
public:
    CFont() : m_hFont(NULL) {}
    ~CFont() { DeleteObject(); }
    CFont(const CFont&) = delete;
    CFont& operator=(const CFont&) = delete;

    BOOL CreateFontIndirect(const LOGFONTW* pLogFont) {
        DeleteObject();
        m_hFont = ::CreateFontIndirectW(pLogFont);
        return m_hFont != NULL;
    }
    void DeleteObject() {
        if (m_hFont) ::DeleteObject(m_hFont);
        m_hFont = NULL;
    }
    HFONT GetSafeHandle() const { return m_hFont; }

private:
    HFONT m_hFont;
};
