#pragma once
// How a zip entry's stored fields become the reader's entry record: name
// sanitising, Windows attributes, times.
#include <stddef.h>
#include <stdint.h>
#include <windows.h>

inline bool IsPathSeparator(wchar_t ch) { return ch == L'\\' || ch == L'/'; }

// Drops "./" prefixes, drive prefixes, leading separators and everything up
// to a "<sep>..<sep>" sequence, until none is left.
void SanitizeEntryName(wchar_t* pszName);
// True when a component between separators could name the parent folder:
// "..", or any run of dots and spaces with two dots or more.
bool HasParentComponent(const wchar_t* pszName);
// True when the cch characters at psz name a DOS device (CON, PRN, AUX, NUL,
// COM1-9, LPT1-9, CONIN$, CONOUT$), with any extension or trailing spaces:
// Windows opens the device instead of a file in whatever folder.
bool IsDeviceName(const wchar_t* psz, size_t cch);
// True when any component between separators is a device name.
bool HasDeviceComponent(const wchar_t* pszName);

// A name Windows cannot make as it stands, or makes into another: ":" (an
// alternate data stream), "* ? < > | \"", control characters, a component
// ending in a dot or a space (Windows drops them, so two entries could be
// one file), or one shaped like a short name ("PROGRA~1", "README~2.TXT"),
// which may alias another entry. "." as a component is the folder itself.
bool HasUnusableComponent(const wchar_t* pszName);

// nVersionMadeBy's high byte is the host system; nExternal its attributes.
// A Unix-like host that recorded no mode gives an ordinary writable file.
DWORD MapEntryAttributes(uint32_t nVersionMadeBy, uint32_t nExternal);

// A DOS date (high half) and time (low half) in local time, as UTC. A value
// that is no calendar time gives the DOS epoch, 1980-01-01 00:00 local.
FILETIME DosTimeToFileTime(uint32_t nDosDateTime);
FILETIME UnixTimeToFileTime(int32_t nUnixTime);

// Overrides the times from the first "UT" block of a local extra field; a
// time whose bytes lie beyond its block or the field keeps its value.
void ApplyExtendedTimestamp(const BYTE* pExtra, size_t cbExtra, FILETIME* pftWrite,
                            FILETIME* pftAccess, FILETIME* pftCreation);

enum NameResult { NameOk, NameInvalid, NameTooLong };

// The stored name bytes as UTF-16 in pszOut (cchOut with the terminator).
// The encoding: UTF-8 when general-purpose bit 11 is set; else the UTF-8 of
// an Info-ZIP Unicode Path field (0x7075, version 1) in pExtra whose CRC-32
// matches the raw name; else UTF-8 for a Unix host's raw name that is valid
// UTF-8; else the ANSI code page. Invalid UTF-8 where the archive declares
// UTF-8 is NameInvalid; a name that does not fit, NameTooLong.
NameResult DecodeEntryName(uint32_t nFlags, uint32_t nVersionMadeBy, const char* pRaw, size_t cbRaw,
                           const BYTE* pExtra, size_t cbExtra, wchar_t* pszOut, size_t cchOut);
// Whether the extra field can decide the name: not flagged as UTF-8, and
// not plain ASCII.
bool NameNeedsUnicodePath(uint32_t nFlags, const char* pRaw, size_t cbRaw);
