#pragma once
#include <windows.h>

// Keeps DLLs planted beside the program (a download or temporary folder)
// from ever being loaded: from here on only the system folder is searched.
// Called first thing in wWinMain; DLLs the program needs that are not the
// system's known DLLs must be delay-loaded so none is loaded before it.
void RestrictDllSearchPath();
