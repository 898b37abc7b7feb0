#include <gtest/gtest.h>
#include <windows.h>

#include <wininet.h>

#include "SetupOptions.h"

TEST(SetupOptionsTest, SwitchesAreReadInAnyCaseAndWithEitherPrefix) {
    SetupOptions options;
    std::wstring refused = L"stale";
    ASSERT_TRUE(ReadSetupOptions(L"setup.exe -s /Launch \"/log=C:\\my logs\\a.txt\"", &options,
                                 &refused));
    EXPECT_TRUE(options.bSilent);
    EXPECT_TRUE(options.bLaunch);
    EXPECT_FALSE(options.bHelp);
    EXPECT_EQ(L"C:\\my logs\\a.txt", options.strLog);
    EXPECT_EQ(L"", refused);

    // No command line: the window, as a person starts it.
    ASSERT_TRUE(ReadSetupOptions(L"\"C:\\Users\\me\\Downloads\\setup.exe\"", &options, &refused));
    EXPECT_FALSE(options.bSilent || options.bLaunch || options.bHelp);
    EXPECT_EQ(L"", options.strLog);
    ASSERT_TRUE(ReadSetupOptions(L"setup.exe /?", &options, &refused));
    EXPECT_TRUE(options.bHelp);
    // Folders are taken as full paths: the run must not depend on where
    // its working folder later is.
    ASSERT_TRUE(ReadSetupOptions(L"setup.exe /source=offline", &options, &refused));
    wchar_t szCurrent[MAX_PATH];
    ASSERT_NE(0u, ::GetCurrentDirectoryW(MAX_PATH, szCurrent));
    EXPECT_EQ(std::wstring(szCurrent) + L"\\offline", options.strSource);
    EXPECT_EQ(L"", options.strLayout);
}

TEST(SetupOptionsTest, AnythingNotUnderstoodIsRefusedByName) {
    const struct {
        const wchar_t* pszCommandLine;
        const wchar_t* pszRefused;
        bool bSilent;
    } cases[] = {
        {L"setup.exe /S /quiet", L"/quiet", true},       // unknown
        {L"setup.exe /SILENT", L"/SILENT", false},       // no prefix matching
        {L"setup.exe /S /s", L"/s", true},               // given twice
        {L"setup.exe /LOG", L"/LOG", false},             // a value is needed
        {L"setup.exe /LOG=", L"/LOG=", false},           // and it must not be empty
        {L"setup.exe /S=1", L"/S=1", false},             // no value belongs there
        {L"setup.exe C:\\Tarvelo", L"C:\\Tarvelo", false},  // no arguments
        {L"setup.exe /LAUNCH", L"/LAUNCH", false},       // only for unattended runs
        {L"setup.exe /LAYOUT=a /SOURCE=b", L"/SOURCE", false},  // a layout installs nothing
        {L"setup.exe /S /LAUNCH /LAYOUT=a", L"/LAUNCH", true},
        {L"setup.exe /S /PROXY=proxy", L"/PROXY=proxy", true},  // host:port, or DIRECT
        {L"setup.exe /PROXY=[::1:8080", L"/PROXY=[::1:8080", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszCommandLine);
        SetupOptions options;
        std::wstring refused;
        EXPECT_FALSE(ReadSetupOptions(c.pszCommandLine, &options, &refused));
        EXPECT_EQ(c.pszRefused, refused);
        // A refusal of an unattended run must not show a box.
        EXPECT_EQ(c.bSilent, options.bSilent);
    }
}

// The switch wins; without it only SYSTEM takes the machine's proxy, and
// only when one is set; everyone else keeps their own settings.
TEST(ProxyChoiceTest, TheSwitchThenTheMachinesProxyForSystemThenTheUsersSettings) {
    ProxyChoice named;
    ASSERT_TRUE(ReadProxySwitch(L"proxy.corp.example:3128", &named));
    EXPECT_EQ(static_cast<DWORD>(INTERNET_OPEN_TYPE_PROXY), named.dwAccessType);
    EXPECT_STREQ(L"proxy.corp.example:3128", named.szProxy);
    ProxyChoice direct;
    ASSERT_TRUE(ReadProxySwitch(L"Direct", &direct));
    EXPECT_EQ(static_cast<DWORD>(INTERNET_OPEN_TYPE_DIRECT), direct.dwAccessType);
    ProxyChoice other;
    EXPECT_TRUE(ReadProxySwitch(L"[fe80::1]:8080", &other));
    EXPECT_TRUE(ReadProxySwitch(L"10.0.0.1:65535", &other));
    for (const wchar_t* psz : {L"", L"host", L"host:", L":80", L"host:0", L"host:65536",
                               L"host:80x", L"a b:80", L"http://host:80", L"[::1]", L"h:1:2"})
        EXPECT_FALSE(ReadProxySwitch(psz, &other)) << psz;

    const wchar_t* pszMachine = L"http=mproxy:8080;https=mproxy:8443";
    ProxyChoice chosen = ChooseProxy(&direct, true, pszMachine, L"<local>");
    EXPECT_EQ(static_cast<DWORD>(INTERNET_OPEN_TYPE_DIRECT), chosen.dwAccessType);
    chosen = ChooseProxy(NULL, true, pszMachine, L"<local>");
    EXPECT_EQ(static_cast<DWORD>(INTERNET_OPEN_TYPE_PROXY), chosen.dwAccessType);
    EXPECT_STREQ(pszMachine, chosen.szProxy);
    EXPECT_STREQ(L"<local>", chosen.szBypass);
    for (bool bSystem : {false, true}) {
        chosen = ChooseProxy(NULL, bSystem, bSystem ? L"" : pszMachine, NULL);
        EXPECT_EQ(static_cast<DWORD>(INTERNET_OPEN_TYPE_PRECONFIG), chosen.dwAccessType);
        EXPECT_STREQ(L"", chosen.szProxy);
    }
}
