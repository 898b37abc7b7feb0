#pragma once
// Bench builds only: the installer's own view of its memory, logged once at
// the end of a successful installation.
void LogMemoryFigures();
