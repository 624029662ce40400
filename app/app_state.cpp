#include "app/app_state.h"

namespace velt {

int g_debugFlag = 0;
int g_showMetadataFlag = 0;
CMainDlg* g_mainDlg = nullptr;

}  // namespace velt
