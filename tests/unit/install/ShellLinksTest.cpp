#include <gtest/gtest.h>
#include <objbase.h>

#include "Handle.h"
#include "Registration.h"
#include "RegistrationTestUtil.h"
#include "ShellLinks.h"
#include "TestUtil.h"

namespace {

const wchar_t kUserShellFolders[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const wchar_t kCommonShellFolders[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
// Where the system finds the public desktop.
const wchar_t kCommonUserShellFolders[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

std::wstring Normalized(std::wstring path, bool bTrailingSlash) {
    wchar_t sz[MAX_PATH];
    lstrcpynW(sz, path.c_str(), MAX_PATH);
    return NormalizePath(sz, bTrailingSlash);
}

// The client's and the uninstaller's links as the installation makes them.
void ExpectClientLink(const std::wstring& path, const std::wstring& inst) {
    SCOPED_TRACE(path);
    LinkInfo link = LoadLink(path);
    ASSERT_TRUE(link.bLoaded);
    // The shell link object stores the target in backslash form.
    EXPECT_EQ(Normalized(inst + L"/iKVTRemote.exe", false), Normalized(link.target, false));
    EXPECT_EQ(L"", link.arguments);
    EXPECT_EQ(inst, link.workFolder);
    EXPECT_EQ(inst + L"/favicon.ico", link.icon);
    EXPECT_EQ(0, link.nIconIndex);
    EXPECT_EQ(L"塔维罗", link.description);
}

void ExpectUninstallLink(const std::wstring& path, const std::wstring& inst,
                         const std::wstring& un) {
    SCOPED_TRACE(path);
    LinkInfo link = LoadLink(path);
    ASSERT_TRUE(link.bLoaded);
    EXPECT_EQ(Normalized(un + L"\\UnInstall.exe", false), Normalized(link.target, false));
    EXPECT_EQ(L"\"" + inst + L"\"", link.arguments);
    EXPECT_EQ(un, link.workFolder);
    EXPECT_EQ(inst + L"/favicon.ico", link.icon);
    EXPECT_EQ(0, link.nIconIndex);
    EXPECT_EQ(L"卸载塔维罗", link.description);
}

// Files of a folder, by name (no "." and "..").
int CountEntries(const std::wstring& folder) {
    int n = 0;
    WIN32_FIND_DATAW fd;
    HANDLE h = ::FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return 0;
    do {
        if (wcscmp(fd.cFileName, L".") && wcscmp(fd.cFileName, L"..")) ++n;
    } while (::FindNextFileW(h, &fd));
    ::FindClose(h);
    return n;
}

// Runs a block with the current folder set to a given one.
class CCurrentFolder {
public:
    explicit CCurrentFolder(const std::wstring& folder) {
        ::GetCurrentDirectoryW(MAX_PATH, m_szOld);
        ::SetCurrentDirectoryW(folder.c_str());
    }
    ~CCurrentFolder() { ::SetCurrentDirectoryW(m_szOld); }

private:
    wchar_t m_szOld[MAX_PATH];
};

// True when this thread has no COM apartment left, i.e. every initialise
// made so far was matched by an uninitialise.
bool ComIsUninitialised() {
    HRESULT hr = ::CoInitializeEx(NULL, COINIT_MULTITHREADED);
    if (SUCCEEDED(hr)) ::CoUninitialize();
    return hr == S_OK;
}

}  // namespace

TEST(NormalizePath, DrivePathsGetSingleSlashesAndTheWantedEnd) {
    EXPECT_EQ(L"C:/Tarvelo/sub/", Normalized(L"C:\\Tarvelo\\\\sub\\", true));
    EXPECT_EQ(L"C:/Tarvelo/sub", Normalized(L"C:\\Tarvelo\\\\sub\\", false));
    EXPECT_EQ(L"C:/Tarvelo/sub/", Normalized(L"C:\\Tarvelo\\sub", true));
    EXPECT_EQ(L"C:/Tarvelo/sub", Normalized(L"C:\\Tarvelo\\sub", false));
    EXPECT_EQ(L"C:/Tarvelo/iKVTRemote.exe", Normalized(L"C:\\Tarvelo/iKVTRemote.exe", false));
    EXPECT_EQ(L"C:/a/b/", Normalized(L"C:/a/\\/\\b//", true));
    EXPECT_EQ(L"C:/", Normalized(L"C:\\", true));
    EXPECT_EQ(L"C:/", Normalized(L"C:\\\\", true));
}

TEST(NormalizePath, NetworkPathKeepsBothLeadingSlashes) {
    EXPECT_EQ(L"//server/share/dir/", Normalized(L"\\\\server\\share\\\\dir", true));
    EXPECT_EQ(L"//server/share", Normalized(L"\\\\server\\share\\", false));
    EXPECT_EQ(L"//server/share", Normalized(L"\\\\\\server\\share", false));
    EXPECT_EQ(L"/root/x", Normalized(L"\\root\\x\\", false));
}

TEST(NormalizePath, EmptyStaysEmptyAndAFullBufferIsNotOverrun) {
    EXPECT_EQ(L"", Normalized(L"", true));
    EXPECT_EQ(L"", Normalized(L"", false));
    EXPECT_EQ(NULL, NormalizePath(NULL, 10, true));

    wchar_t szSmall[5] = {L'a', L'\\', L'b', L'c', 0};
    wchar_t* pResult = NormalizePath(szSmall, true);
    EXPECT_EQ(szSmall, pResult);
    EXPECT_STREQ(L"a/bc", szSmall);  // no room for the slash: left without it
    wchar_t szRoom[6] = {L'a', L'\\', L'b', L'c', 0, L'#'};
    NormalizePath(szRoom, true);
    EXPECT_STREQ(L"a/bc/", szRoom);
}

TEST(CreateShellLink, SavesTheClientAndTheUninstallLinksWithEveryProperty) {
    CTempFolder tmp(L"lnk");
    std::wstring inst = tmp.Sub(L"Tarvelo");
    std::wstring un = tmp.Sub(L"UnInstall Tarvelo");
    std::wstring menu = tmp.Sub(L"menu");
    ASSERT_TRUE(::CreateDirectoryW(inst.c_str(), NULL));
    ASSERT_TRUE(::CreateDirectoryW(menu.c_str(), NULL));

    wchar_t szFolder[MAX_PATH];
    lstrcpynW(szFolder, (menu + L"\\").c_str(), MAX_PATH);
    CreateShellLink(L"塔维罗", inst.c_str(), (inst + L"/iKVTRemote.exe").c_str(),
                    (inst + L"/favicon.ico").c_str(), szFolder, NULL);
    // The caller's buffer now names the link, in slash form.
    EXPECT_EQ(Normalized(menu, true) + L"塔维罗.lnk", std::wstring(szFolder));

    ExpectClientLink(menu + L"\\塔维罗.lnk", inst);

    lstrcpynW(szFolder, menu.c_str(), MAX_PATH);
    std::wstring args = L"\"" + inst + L"\"";
    CreateShellLink(L"卸载塔维罗", un.c_str(), (un + L"\\UnInstall.exe").c_str(),
                    (inst + L"/favicon.ico").c_str(), szFolder, args.c_str());
    ExpectUninstallLink(menu + L"\\卸载塔维罗.lnk", inst, un);
    EXPECT_EQ(2, CountEntries(menu));
}

TEST(CreateShellLink, EmptyRelativeOrOverlongFolderMakesNoLinkAndLeavesNoApartment) {
    CTempFolder tmp(L"lnk");
    ASSERT_TRUE(::CreateDirectoryW(tmp.Sub(L"rel").c_str(), NULL));
    CCurrentFolder cwd(tmp.Path());

    wchar_t szFolder[MAX_PATH] = {0};
    CreateShellLink(L"塔维罗", L"C:\\Tarvelo", L"C:\\Tarvelo/iKVTRemote.exe",
                    L"C:\\Tarvelo/favicon.ico", szFolder, NULL);
    lstrcpynW(szFolder, L"rel", MAX_PATH);
    CreateShellLink(L"塔维罗", L"C:\\Tarvelo", L"C:\\Tarvelo/iKVTRemote.exe",
                    L"C:\\Tarvelo/favicon.ico", szFolder, NULL);
    lstrcpynW(szFolder, L"\\rel", MAX_PATH);  // root of the current drive
    CreateShellLink(L"塔维罗", L"C:\\Tarvelo", L"C:\\Tarvelo/iKVTRemote.exe",
                    L"C:\\Tarvelo/favicon.ico", szFolder, NULL);
    EXPECT_EQ(1, CountEntries(tmp.Path()));  // only "rel"
    EXPECT_EQ(0, CountEntries(tmp.Sub(L"rel")));
    EXPECT_FALSE(FileExists(L"C:\\rel\\塔维罗.lnk"));

    // A folder that leaves no room for the link's name: refused, and COM,
    // initialised before the refusal, is uninitialised all the same.
    std::wstring deep = tmp.Path() + L"\\" + std::wstring(MAX_PATH - 6 - tmp.Path().size(), L'd');
    lstrcpynW(szFolder, deep.c_str(), MAX_PATH);
    CreateShellLink(L"塔维罗", L"C:\\Tarvelo", L"C:\\Tarvelo/iKVTRemote.exe",
                    L"C:\\Tarvelo/favicon.ico", szFolder, NULL);
    EXPECT_EQ(1, CountEntries(tmp.Path()));
    EXPECT_TRUE(ComIsUninitialised());
}

TEST(DeleteOldShellLink, DeletesOneOlderLinkToTheSameTargetUnderAnotherName) {
    CTempFolder tmp(L"old");
    CComScope com;
    std::wstring folder = Normalized(tmp.Path(), true);
    // Stored with backslashes and another case: still the same target.
    ASSERT_TRUE(SaveLink(tmp.Sub(L"old client.lnk"), L"C:\\INST\\ikvtremote.EXE", L"old"));
    ASSERT_TRUE(SaveLink(tmp.Sub(L"other.lnk"), L"C:\\Inst\\other.exe", L"other"));
    ASSERT_TRUE(WriteFileBytes(tmp.Sub(L"broken.lnk"), "not a link"));

    DeleteOldShellLink(folder.c_str(), L"C:\\Inst/iKVTRemote.exe", L"塔维罗");
    EXPECT_FALSE(FileExists(tmp.Sub(L"old client.lnk")));
    EXPECT_TRUE(FileExists(tmp.Sub(L"other.lnk")));
    EXPECT_TRUE(FileExists(tmp.Sub(L"broken.lnk")));

    // Two older links: one per call.
    ASSERT_TRUE(SaveLink(tmp.Sub(L"a.lnk"), L"C:\\Inst\\iKVTRemote.exe", L"a"));
    ASSERT_TRUE(SaveLink(tmp.Sub(L"b.lnk"), L"C:/Inst/iKVTRemote.exe", L"b"));
    DeleteOldShellLink(folder.c_str(), L"C:\\Inst/iKVTRemote.exe", L"塔维罗");
    EXPECT_EQ(1, FileExists(tmp.Sub(L"a.lnk")) + FileExists(tmp.Sub(L"b.lnk")));
    DeleteOldShellLink(folder.c_str(), L"C:\\Inst/iKVTRemote.exe", L"塔维罗");
    EXPECT_EQ(0, FileExists(tmp.Sub(L"a.lnk")) + FileExists(tmp.Sub(L"b.lnk")));
    EXPECT_EQ(2, CountEntries(tmp.Path()));
}

TEST(DeleteOldShellLink, ALinkWithTheNewNameIsLeftAndThenOverwritten) {
    CTempFolder tmp(L"old");
    std::wstring inst = tmp.Sub(L"inst");
    std::wstring menu = tmp.Sub(L"menu");
    ASSERT_TRUE(::CreateDirectoryW(menu.c_str(), NULL));
    ASSERT_TRUE(SaveLink(menu + L"\\塔维罗.lnk", inst + L"\\iKVTRemote.exe", L"older"));
    {
        CComScope com;
        DeleteOldShellLink(Normalized(menu, true).c_str(), (inst + L"/iKVTRemote.exe").c_str(),
                           L"塔维罗");
    }
    EXPECT_TRUE(LoadLink(menu + L"\\塔维罗.lnk").bLoaded);

    // The save that follows replaces it; an older link under another name
    // in the same folder goes.
    ASSERT_TRUE(SaveLink(menu + L"\\Tarvelo (old).lnk", inst + L"\\iKVTRemote.exe", L"older"));
    ::DeleteFileW((menu + L"\\塔维罗.lnk").c_str());
    ASSERT_TRUE(SaveLink(menu + L"\\塔维罗.lnk", L"C:\\elsewhere\\x.exe", L"older"));
    wchar_t szFolder[MAX_PATH];
    lstrcpynW(szFolder, menu.c_str(), MAX_PATH);
    CreateShellLink(L"塔维罗", inst.c_str(), (inst + L"/iKVTRemote.exe").c_str(),
                    (inst + L"/favicon.ico").c_str(), szFolder, NULL);
    EXPECT_FALSE(FileExists(menu + L"\\Tarvelo (old).lnk"));
    LinkInfo link = LoadLink(menu + L"\\塔维罗.lnk");
    EXPECT_EQ(L"塔维罗", link.description);
    EXPECT_EQ(Normalized(inst + L"/iKVTRemote.exe", false), Normalized(link.target, false));
    EXPECT_EQ(1, CountEntries(menu));
}

// The link goes to the all-users desktop, never to the folder that the
// elevated account's own Shell Folders value names (its programs may set it).
TEST(SetDesktopShellLink, SavesTheLinkOnThePublicDesktopNotWhereTheUserValuePoints) {
    CTempFolder tmp(L"desk");
    std::wstring desktop = tmp.Sub(L"Public"), users = tmp.Sub(L"Startup");
    std::wstring inst = tmp.Sub(L"Tarvelo");
    ASSERT_TRUE(::CreateDirectoryW(desktop.c_str(), NULL));
    ASSERT_TRUE(::CreateDirectoryW(users.c_str(), NULL));
    CRegValueOverride common(HKEY_LOCAL_MACHINE, kCommonUserShellFolders, L"Common Desktop");
    ASSERT_TRUE(common.SetRaw(REG_EXPAND_SZ, desktop.c_str(),
                              static_cast<DWORD>((desktop.size() + 1) * sizeof(wchar_t))));
    CRegValueOverride value(HKEY_CURRENT_USER, kUserShellFolders, L"Desktop");
    ASSERT_TRUE(value.SetString(users));

    SetDesktopShellLink(L"塔维罗", inst.c_str(), (inst + L"/iKVTRemote.exe").c_str(),
                        (inst + L"/favicon.ico").c_str());
    ExpectClientLink(desktop + L"\\塔维罗.lnk", inst);
    EXPECT_EQ(0, CountEntries(users));
    EXPECT_TRUE(ComIsUninitialised());
}

// Where earlier releases put the link: the uninstaller reads it back.
TEST(GetDesktopPath, AnUnusableUserValueGivesNoFolder) {
    CRegValueOverride value(HKEY_CURRENT_USER, kUserShellFolders, L"Desktop");
    wchar_t szPath[MAX_PATH];

    ASSERT_TRUE(value.Remove());
    EXPECT_TRUE(GetDesktopPath(szPath));  // the key opens; the folder is empty
    EXPECT_STREQ(L"", szPath);

    ASSERT_TRUE(value.SetString(L"C:\\" + std::wstring(300, L'x')));
    EXPECT_TRUE(GetDesktopPath(szPath));
    EXPECT_STREQ(L"", szPath);

    // Exactly 260 characters stored without a terminator (the character
    // after them is not 0, so the registry adds none): does not fit either.
    std::wstring full = L"C:\\" + std::wstring(MAX_PATH - 2, L'y');
    ASSERT_TRUE(value.SetRaw(REG_SZ, full.data(), MAX_PATH * sizeof(wchar_t)));
    EXPECT_TRUE(GetDesktopPath(szPath));
    EXPECT_STREQ(L"", szPath);

    DWORD dw = 7;
    ASSERT_TRUE(value.SetRaw(REG_DWORD, &dw, sizeof(dw)));
    EXPECT_TRUE(GetDesktopPath(szPath));
    EXPECT_STREQ(L"", szPath);
}

TEST(SetStartShellLink, MakesTheFolderWithBothLinksAndMakesThemAnewOnASecondRun) {
    CTempFolder tmp(L"menu");
    std::wstring programs = tmp.Sub(L"Programs");
    std::wstring inst = tmp.Sub(L"Tarvelo");
    std::wstring un = tmp.Sub(L"UnInstall Tarvelo");
    std::wstring start = programs + L"\\塔维罗";
    ASSERT_TRUE(::CreateDirectoryW(programs.c_str(), NULL));
    CRegValueOverride value(HKEY_LOCAL_MACHINE, kCommonShellFolders, L"Common Programs");
    ASSERT_TRUE(value.SetString(programs));
    CLogFile log(tmp.Sub(L"log.txt"));

    EXPECT_TRUE(SetStartShellLink(inst.c_str(), un.c_str()));
    std::wstring line =
        log.LineEndingWith(L"[CSetupDlg::SetStartShellLink] ProgramsPath=" + programs);
    EXPECT_EQ(0u, line.find(L"[Normal]")) << line;

    auto checkLinks = [&]() {
        ExpectClientLink(start + L"\\塔维罗.lnk", inst);
        ExpectUninstallLink(start + L"\\卸载塔维罗.lnk", inst, un);
    };
    checkLinks();
    EXPECT_EQ(2, CountEntries(start));

    // Second run over damaged links and a file of someone else's: the links
    // are made again, the other file stays.
    ASSERT_TRUE(WriteFileBytes(start + L"\\塔维罗.lnk", "damaged"));
    ASSERT_TRUE(::DeleteFileW((start + L"\\卸载塔维罗.lnk").c_str()));
    ASSERT_TRUE(WriteFileBytes(start + L"\\readme.txt", "keep"));
    EXPECT_TRUE(SetStartShellLink(inst.c_str(), un.c_str()));
    checkLinks();
    EXPECT_TRUE(FileExists(start + L"\\readme.txt"));
    EXPECT_EQ(3, CountEntries(start));

    // Third run with only its own links there: folder removed and made again.
    ASSERT_TRUE(::DeleteFileW((start + L"\\readme.txt").c_str()));
    EXPECT_TRUE(SetStartShellLink(inst.c_str(), un.c_str()));
    checkLinks();
    EXPECT_EQ(2, CountEntries(start));
    EXPECT_TRUE(ComIsUninitialised());
}

TEST(SetStartShellLink, WithoutAProgramsFolderLogsAndMakesNothing) {
    CTempFolder tmp(L"menu");
    CCurrentFolder cwd(tmp.Path());
    CRegValueOverride value(HKEY_LOCAL_MACHINE, kCommonShellFolders, L"Common Programs");
    CLogFile log(tmp.Sub(L"log.txt"));

    ASSERT_TRUE(value.Remove());
    EXPECT_FALSE(SetStartShellLink(L"C:\\Tarvelo", L"C:\\UnInstall Tarvelo"));
    std::wstring line =
        log.LineEndingWith(L"[CSetupDlg::SetStartShellLink] QueryValue Common Programs error=2");
    EXPECT_EQ(0u, line.find(L"[Normal]")) << line;

    ASSERT_TRUE(value.SetString(L""));
    EXPECT_FALSE(SetStartShellLink(L"C:\\Tarvelo", L"C:\\UnInstall Tarvelo"));
    EXPECT_NE(
        std::wstring::npos,
        log.Text().find(L"[CSetupDlg::SetStartShellLink] QueryValue Common Programs error=13\r\n"));
    EXPECT_EQ(std::wstring::npos, log.Text().find(L"ProgramsPath="));
    EXPECT_EQ(1, CountEntries(tmp.Path()));  // only the log
    EXPECT_FALSE(FolderExists(L"\\塔维罗"));
}

TEST(Registration, KeysFindsAndComAreReleasedOnEveryPath) {
    CTempFolder tmp(L"leak");
    std::wstring desktop = tmp.Sub(L"Desktop");
    std::wstring programs = tmp.Sub(L"Programs");
    std::wstring inst = tmp.Sub(L"Tarvelo");
    ASSERT_TRUE(::CreateDirectoryW(desktop.c_str(), NULL));
    ASSERT_TRUE(::CreateDirectoryW(programs.c_str(), NULL));
    ASSERT_TRUE(SaveLink(desktop + L"\\unrelated.lnk", L"C:\\x\\y.exe", L"u"));
    CCurrentFolder cwd(tmp.Path());  // where a link without a folder would land
    CRegValueOverride desk(HKEY_CURRENT_USER, kUserShellFolders, L"Desktop");
    CRegValueOverride menu(HKEY_LOCAL_MACHINE, kCommonShellFolders, L"Common Programs");
    CRegValueOverride common(HKEY_LOCAL_MACHINE, kCommonUserShellFolders, L"Common Desktop");
    auto setCommon = [&](const std::wstring& folder) {
        common.SetRaw(REG_EXPAND_SZ, folder.c_str(),
                      static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    };
    HKEY hUninstall = NULL;
    ASSERT_EQ(
        ERROR_SUCCESS,
        ::RegCreateKeyW(HKEY_LOCAL_MACHINE,
                        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", &hUninstall));
    ::RegCloseKey(hUninstall);

    auto runAll = [&]() {
        wchar_t szPath[MAX_PATH];
        desk.SetString(desktop);
        setCommon(desktop);
        menu.SetString(programs);
        GetDesktopPath(szPath);
        SetDesktopShellLink(L"塔维罗", inst.c_str(), (inst + L"/iKVTRemote.exe").c_str(),
                            (inst + L"/favicon.ico").c_str());
        SetStartShellLink(inst.c_str(), tmp.Sub(L"un").c_str());
        desk.Remove();
        setCommon(tmp.Sub(L"none"));  // no such folder: no public desktop
        menu.Remove();
        SetDesktopShellLink(L"塔维罗", inst.c_str(), (inst + L"/iKVTRemote.exe").c_str(),
                            (inst + L"/favicon.ico").c_str());
        SetStartShellLink(inst.c_str(), tmp.Sub(L"un").c_str());
        WriteRegistry(inst.c_str(), tmp.Sub(L"un").c_str());
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE,
                         L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarvelo");
    };
    runAll();  // first use may load libraries and keep their handles
    if (!HandleCountWorks()) GTEST_SKIP() << "this system does not count the process's handles";
    DWORD nBefore = HandleCount();

    const int kRuns = 5;
    for (int i = 0; i < kRuns; ++i) runAll();
    // Each run opens keys and a listing on every path; a leak would grow the
    // count by at least one per run.
    EXPECT_LT(HandleCount(), nBefore + kRuns);
    EXPECT_TRUE(ComIsUninitialised());
}
