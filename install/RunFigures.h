#pragma once
// Figures of a finished installation for measuring builds. The shipped
// programs link RunFiguresNone.cpp, which does nothing; a benchmark build
// links its own definition ahead of it.
void LogRunFigures();
