#include "RunFigures.h"

void LogRunFigures() {}
