#pragma once
// The layout run (/LAYOUT): the release's files fetched and checked into a
// folder, installing nothing, so that /SOURCE can install from it without a
// network.
#include <windows.h>

#include "InstallSequence.h"

// Fetches and checks the manifest, the setup list, every package of every
// kind and the uninstaller into state.m_szLayoutPath (made when missing).
void RunLayoutSequence(CInstallState& state, IInstallView& view, HANDLE hStopEvent);

// In a layout run: the download buffer, checked, written as pszName in the
// layout folder (made new there, or replacing an earlier layout's file).
// True outside a layout run; false (the failure shown) when not written.
bool SaveToLayout(CInstallState& state, IInstallView& view, const wchar_t* pszName);
