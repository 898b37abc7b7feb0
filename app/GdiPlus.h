#pragma once
// GDI+ needs the COM types, and those need windows.h first; the blocks keep
// include sorting from reordering them.
#include <windows.h>
// (COM)
#include <objidl.h>
// (GDI+)
#include <gdiplus.h>
