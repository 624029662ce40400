// Where the stub's DLLs come from. The stub runs elevated from wherever it was downloaded to,
// so no DLL may ever be taken from its own folder or the current one.
#pragma once

#include <windows.h>

namespace velt {

// Limits the DLL search for the rest of the process: to the system folder where the loader
// knows the default-directory flags, otherwise with the current folder taken out of the search.
// Called first thing, before any DLL is loaded on the stub's behalf.
void limitDllSearch();

// Loads a system DLL from the system folder, by its full path where the loader cannot be told
// to search the system folder only. Null when it cannot be loaded.
HMODULE loadSystemLibrary(const wchar_t* name);

// DLLs outside the known-DLL list that the window's painting loads by bare name. Needed only
// where the loader cannot be limited to the system folder; cheap, as the window loads them
// anyway.
void preloadWindowDlls();

// DLLs outside the known-DLL list that the worker (WinHTTP, trust, credentials) loads, or that
// system DLLs load on its behalf, by bare name: loaded once from the system folder, every later
// load by that name finds them already in the process. Run by the worker before its first call
// into any of them.
void preloadWorkerDlls();

}  // namespace velt
