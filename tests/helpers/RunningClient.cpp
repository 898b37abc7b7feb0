// Stands in for a running client in the running-check tests: it only waits,
// to be found by its file name and ended by the test. It leaves by itself
// after a minute in case the test never gets to end it.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    ::Sleep(60000);
    return 0;
}
