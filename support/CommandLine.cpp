#include "CommandLine.h"

#include <wchar.h>

bool ReadSwitches(int argc, wchar_t* const* argv, CommandSwitch* pSwitches, size_t nSwitches,
                  std::vector<std::wstring>* pArguments, std::wstring* pRefused) {
    for (size_t i = 0; i < nSwitches; ++i) {
        pSwitches[i].bGiven = false;
        pSwitches[i].strValue.clear();
    }
    pArguments->clear();
    pRefused->clear();
    for (int nArg = 1; nArg < argc; ++nArg) {
        const wchar_t* pszArg = argv[nArg];
        if (pszArg[0] != L'/' && pszArg[0] != L'-') {
            pArguments->push_back(pszArg);
            continue;
        }
        const wchar_t* pszName = pszArg + 1;
        const wchar_t* pszEquals = wcschr(pszName, L'=');
        const size_t cchName = pszEquals ? static_cast<size_t>(pszEquals - pszName) : wcslen(pszName);
        CommandSwitch* pFound = NULL;
        for (size_t i = 0; i < nSwitches && !pFound; ++i) {
            if (wcslen(pSwitches[i].pszName) == cchName &&
                _wcsnicmp(pSwitches[i].pszName, pszName, cchName) == 0)
                pFound = &pSwitches[i];
        }
        if (!pFound || pFound->bGiven || pFound->bTakesValue != (pszEquals != NULL) ||
            (pszEquals && !pszEquals[1])) {
            *pRefused = pszArg;
            return false;
        }
        pFound->bGiven = true;
        if (pszEquals) pFound->strValue = pszEquals + 1;
    }
    return true;
}
