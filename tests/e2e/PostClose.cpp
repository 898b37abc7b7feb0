// Sends what the taskbar's "Close window" and the system menu's Close send,
// WM_SYSCOMMAND with SC_CLOSE, to the top-level window with the given text
// (there is no taskbar under the test display). Exit code 0 when found.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    HWND hWnd = ::FindWindowW(NULL, argv[1]);
    if (!hWnd) return 1;
    return ::PostMessageW(hWnd, WM_SYSCOMMAND, SC_CLOSE, 0) ? 0 : 1;
}
