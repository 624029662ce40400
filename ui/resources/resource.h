// Resource identifiers of the bootstrap executable.
#pragma once

#define IDI_BOOTSTRAP 101
#define IDD_MAINDLG 102
#define IDS_INITIALIZING 103
#define IDS_DOWNLOADING 104
#define IDS_ABORTED 107
#define IDS_INSTALLING 108
#define IDC_PROGRESS 1001
#define IDC_STATUS 1002
