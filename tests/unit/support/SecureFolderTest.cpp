#include <gtest/gtest.h>

#include "SecureFolder.h"
#include "TestUtil.h"

// Wine builds access lists from Unix modes, so what a folder really gets
// cannot be read back here: the descriptor itself is checked.
TEST(ProtectedSecurity, OwnerAdministratorsAProtectedListAndInheritedEntries) {
    for (bool bUsersModify : {false, true}) {
        CProtectedSecurity security(bUsersModify ? CProtectedSecurity::kUsersModify
                                                 : CProtectedSecurity::kUsersRead);
        ASSERT_TRUE(security.IsValid());
        PSID pOwner = NULL;
        BOOL bDefaulted = TRUE;
        ASSERT_TRUE(::GetSecurityDescriptorOwner(security.Descriptor(), &pOwner, &bDefaulted));
        EXPECT_TRUE(::IsWellKnownSid(pOwner, WinBuiltinAdministratorsSid));
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD dwRevision = 0;
        ASSERT_TRUE(::GetSecurityDescriptorControl(security.Descriptor(), &control, &dwRevision));
        EXPECT_TRUE(control & SE_DACL_PROTECTED);  // nothing inherited from C:\ .

        BOOL bPresent = FALSE;
        PACL pAcl = NULL;
        ASSERT_TRUE(
            ::GetSecurityDescriptorDacl(security.Descriptor(), &bPresent, &pAcl, &bDefaulted));
        ASSERT_TRUE(bPresent && pAcl);
        ASSERT_EQ(3, pAcl->AceCount);
        const struct {
            WELL_KNOWN_SID_TYPE sid;
            bool bWrite;
        } expected[] = {{WinBuiltinAdministratorsSid, true},
                        {WinLocalSystemSid, true},
                        {WinBuiltinUsersSid, bUsersModify}};
        for (DWORD i = 0; i < 3; ++i) {
            ACCESS_ALLOWED_ACE* pAce = NULL;
            ASSERT_TRUE(::GetAce(pAcl, i, reinterpret_cast<void**>(&pAce)));
            EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, pAce->Header.AceType);
            EXPECT_EQ(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, pAce->Header.AceFlags);
            EXPECT_TRUE(::IsWellKnownSid(&pAce->SidStart, expected[i].sid)) << i;
            EXPECT_EQ(expected[i].bWrite, (pAce->Mask & FILE_WRITE_DATA) != 0) << i;
            EXPECT_TRUE(pAce->Mask & FILE_EXECUTE) << i;
        }
    }
}

TEST(FolderGuard, HoldsAFolderAgainstRemovalAndRefusesWhatIsNoFolder) {
    CTempFolder tmp(L"guard");
    std::wstring folder = tmp.Sub(L"held");
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), NULL));
    CFolderGuard guard;
    ASSERT_TRUE(guard.Open(folder.c_str()));
    EXPECT_FALSE(::RemoveDirectoryW(folder.c_str()));  // no one may remove or swap it
    guard.Close();
    EXPECT_TRUE(::RemoveDirectoryW(folder.c_str()));

    ASSERT_TRUE(WriteFileBytes(tmp.Sub(L"file"), "x"));
    EXPECT_FALSE(guard.Open(tmp.Sub(L"file").c_str()));
    EXPECT_FALSE(guard.Open(tmp.Sub(L"missing").c_str()));
}
