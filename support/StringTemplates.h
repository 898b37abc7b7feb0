// Included before every C++ source (CMakeLists.txt): the string members a
// program uses are compiled into it, instead of linking libstdc++'s
// prebuilt copy of every member of std::string and std::wstring. The value
// -1 is the library's own switch for exactly this (it disables the extern
// template declarations of basic_string only).
#include <bits/c++config.h>
#undef _GLIBCXX_EXTERN_TEMPLATE
#define _GLIBCXX_EXTERN_TEMPLATE -1
