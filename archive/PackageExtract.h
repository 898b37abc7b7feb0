#pragma once
// Unpacks one downloaded package (a zip archive) into a folder.
#include <windows.h>

enum { kPackagePauseMs = 3000 };

// True when every entry was extracted; false for a null argument, an archive
// that cannot be opened, or any failed entry (the others are still
// extracted). Pauses dwPauseMs once, before the first entry is written.
bool ExtractPackage(const wchar_t* szZipPath, const wchar_t* szFolder,
                    DWORD dwPauseMs = kPackagePauseMs);
