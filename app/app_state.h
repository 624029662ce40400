// Process-wide state of the bootstrap. Written by the main thread before the worker starts and
// only read afterwards, so none of it needs a lock.
#pragma once

namespace velt {

class CMainDlg;

extern int g_debugFlag;         // -debug: show the "Debug" box before the flow starts
extern int g_showMetadataFlag;  // -showmetadata: log the metadata and close
extern CMainDlg* g_mainDlg;     // the worker's only way to the window; null until it exists

}  // namespace velt
