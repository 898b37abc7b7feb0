// The demo's stand-in for the real client: one window titled "塔维罗" that
// says what it is and where it was installed. Published as iKVTRemote.exe.
#include <windows.h>

#include "Handle.h"
#include "StrFormat.h"

namespace {

const wchar_t kClassName[] = L"TarveloDemoClient";

void Paint(HWND hWnd) {
    PAINTSTRUCT ps;
    HDC hdc = ::BeginPaint(hWnd, &ps);
    CGdiObject font(::CreateFontW(-18, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                  OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                                  DEFAULT_PITCH, L"宋体"));
    HGDIOBJ hOld = ::SelectObject(hdc, font.Get());
    ::SetBkMode(hdc, TRANSPARENT);

    wchar_t szExe[MAX_PATH] = {0};
    ::GetModuleFileNameW(NULL, szExe, MAX_PATH);
    szExe[MAX_PATH - 1] = 0;
    wchar_t szText[2 * MAX_PATH];
    if (!FormatInto(szText,
                    L"这是塔维罗的演示客户端。\r\n"
                    L"This is a demo client, installed by setup.exe.\r\n\r\n"
                    L"安装位置 (installed at):\r\n%s",
                    szExe))
        CopyInto(szText, L"这是塔维罗的演示客户端。");
    RECT rc;
    ::GetClientRect(hWnd, &rc);
    ::InflateRect(&rc, -20, -20);
    ::DrawTextW(hdc, szText, -1, &rc, DT_LEFT | DT_TOP | DT_WORDBREAK);
    ::SelectObject(hdc, hOld);
    ::EndPaint(hWnd, &ps);
}

LRESULT CALLBACK WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
        case WM_PAINT:
            Paint(hWnd);
            return 0;
        case WM_DESTROY:
            ::PostQuitMessage(0);
            return 0;
        default:
            return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int nShowCmd) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = WndProc;
    wc.hInstance = hInstance;
    wc.hCursor = ::LoadCursorW(NULL, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kClassName;
    if (!::RegisterClassExW(&wc)) return 1;
    HWND hWnd = ::CreateWindowExW(0, kClassName, L"塔维罗", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 520, 260, NULL, NULL, hInstance, NULL);
    if (!hWnd) return 1;
    ::ShowWindow(hWnd, nShowCmd);
    ::UpdateWindow(hWnd);
    MSG msg;
    while (::GetMessageW(&msg, NULL, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    return 0;
}
