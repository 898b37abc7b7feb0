// The planted-DLL cases' positive control: loads each DLL named on its
// command line by name, with the loader's default search order (its own
// folder first), as a program without the installer's restriction does.
// Exit code: how many failed to load.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (!argv) return 100;
    int nFailed = 0;
    for (int i = 1; i < argc; ++i)
        if (!::LoadLibraryW(argv[i])) ++nFailed;
    ::LocalFree(argv);
    return nFailed;
}
