#include "SetupOptions.h"

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "CommandLine.h"

const wchar_t kSetupUsage[] =
    L"setup.exe [/S [/LAUNCH]] [/LOG=文件] [/LAYOUT=文件夹 | /SOURCE=文件夹]\n"
    L"          [/PROXY=主机:端口 | /PROXY=DIRECT]\n\n"
    L"/S\t无界面安装，以退出码报告结果\n"
    L"/LAUNCH\t无界面安装完成后启动塔维罗\n"
    L"/LOG=文件\t日志同时写入该文件\n"
    L"/LAYOUT=文件夹\t下载全部安装文件到该文件夹，不安装\n"
    L"/SOURCE=文件夹\t从该文件夹安装，不连接服务器\n"
    L"/PROXY=主机:端口\t所有下载经该代理；DIRECT：不经代理\n"
    L"/?\t显示本说明";

bool ReadSetupOptions(const wchar_t* pszCommandLine, SetupOptions* pOptions,
                      std::wstring* pRefused) {
    *pOptions = SetupOptions();
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(pszCommandLine, &argc);
    if (!argv) {
        *pRefused = pszCommandLine;
        return false;
    }
    for (int i = 1; i < argc; ++i) {
        if ((argv[i][0] == L'/' || argv[i][0] == L'-') && _wcsicmp(argv[i] + 1, L"S") == 0)
            pOptions->bSilent = true;
    }
    CommandSwitch switches[] = {
        {L"S", false, false, std::wstring()},
        {L"LAUNCH", false, false, std::wstring()},
        {L"LOG", true, false, std::wstring()},
        {L"?", false, false, std::wstring()},
        {L"LAYOUT", true, false, std::wstring()},
        {L"SOURCE", true, false, std::wstring()},
        {L"PROXY", true, false, std::wstring()},
    };
    std::vector<std::wstring> arguments;
    bool bOk = ReadSwitches(argc, argv, switches, sizeof(switches) / sizeof(switches[0]),
                            &arguments, pRefused);
    ::LocalFree(argv);
    if (bOk && !arguments.empty()) {
        *pRefused = arguments[0];
        bOk = false;
    }
    // Starting the client is what the window does anyway; alone it would
    // say the run is unattended when it is not.
    if (bOk && switches[1].bGiven && !switches[0].bGiven) {
        *pRefused = L"/LAUNCH";
        bOk = false;
    }
    // A layout installs nothing, so it neither starts the client nor
    // installs from another layout.
    if (bOk && switches[4].bGiven && (switches[5].bGiven || switches[1].bGiven)) {
        *pRefused = switches[5].bGiven ? L"/SOURCE" : L"/LAUNCH";
        bOk = false;
    }
    for (int i = 4; bOk && i <= 5; ++i) {
        if (!switches[i].bGiven) continue;
        wchar_t szFull[MAX_PATH];
        const DWORD cch = ::GetFullPathNameW(switches[i].strValue.c_str(), MAX_PATH, szFull, NULL);
        if (!cch || cch >= MAX_PATH) {
            *pRefused = L"/" + std::wstring(switches[i].pszName) + L"=" + switches[i].strValue;
            bOk = false;
        } else {
            (i == 4 ? pOptions->strLayout : pOptions->strSource) = szFull;
        }
    }
    if (bOk && switches[6].bGiven && !ReadProxySwitch(switches[6].strValue.c_str(), &pOptions->proxy)) {
        *pRefused = L"/PROXY=" + switches[6].strValue;
        bOk = false;
    }
    if (!bOk) return false;
    pOptions->bProxy = switches[6].bGiven;
    pOptions->bLaunch = switches[1].bGiven;
    pOptions->strLog = switches[2].strValue;
    pOptions->bHelp = switches[3].bGiven;
    return true;
}
