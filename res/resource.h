#pragma once
// Resource ids shared by the .rc files and the code.

// The proxy authentication dialog.
#define IDD_PROXY_AUTH 138
#define IDC_PROXY_NAME 1000
#define IDC_PROXY_PASSWORD 1001
