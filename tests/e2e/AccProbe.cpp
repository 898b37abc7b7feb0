// What a screen reader reads of the setup window: asks the window (found by
// its text) for its accessible client object and writes one line per child,
//   id <TAB> role <TAB> name <TAB> value <TAB> default action <TAB> state
// in UTF-8 to the file given. Exit code 0 when the window answered with an
// object, 1 without the window, 2 without an object.
#include <windows.h>
// (COM)
#include <oleacc.h>
#include <stdio.h>

namespace {
void Put(FILE* f, const wchar_t* psz) {
    char sz[512];
    int n = ::WideCharToMultiByte(CP_UTF8, 0, psz ? psz : L"", -1, sz, sizeof(sz), NULL, NULL);
    if (n > 0) fputs(sz, f);
}

// The text, or the failure's code (as !0x...).
void PutText(FILE* f, HRESULT hr, BSTR bstr) {
    fputc('\t', f);
    if (FAILED(hr)) fprintf(f, "!0x%08lx", static_cast<unsigned long>(hr));
    if (hr == S_OK) Put(f, bstr);
    ::SysFreeString(bstr);
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 3;
    HWND hWnd = ::FindWindowW(NULL, argv[1]);
    if (!hWnd) return 1;
    ::CoInitialize(NULL);
    IAccessible* pAcc = NULL;
    HRESULT hr = ::AccessibleObjectFromWindow(hWnd, static_cast<DWORD>(OBJID_CLIENT),
                                              IID_IAccessible, reinterpret_cast<void**>(&pAcc));
    if (FAILED(hr) || !pAcc) {
        fwprintf(stderr, L"AccessibleObjectFromWindow: 0x%08lx\n", hr);
        return 2;
    }
    FILE* f = _wfopen(argv[2], L"wb");
    if (!f) return 3;
    long nChildren = 0;
    pAcc->get_accChildCount(&nChildren);
    for (long i = 0; i <= nChildren; ++i) {
        VARIANT child;
        ::VariantInit(&child);
        child.vt = VT_I4;
        child.lVal = i;
        VARIANT role, state;
        ::VariantInit(&role);
        ::VariantInit(&state);
        pAcc->get_accRole(child, &role);
        pAcc->get_accState(child, &state);
        fprintf(f, "%ld\t%ld", i, role.vt == VT_I4 ? role.lVal : -1L);
        BSTR bstr = NULL;
        HRESULT hrText = pAcc->get_accName(child, &bstr);
        PutText(f, hrText, bstr);
        bstr = NULL;
        hrText = pAcc->get_accValue(child, &bstr);
        PutText(f, hrText, bstr);
        bstr = NULL;
        hrText = pAcc->get_accDefaultAction(child, &bstr);
        PutText(f, hrText, bstr);
        fprintf(f, "\t%ld\n", state.vt == VT_I4 ? state.lVal : -1L);
    }
    fclose(f);
    pAcc->Release();
    ::CoUninitialize();
    return 0;
}
