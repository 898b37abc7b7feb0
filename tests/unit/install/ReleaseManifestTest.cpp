#include <gtest/gtest.h>
#include <string.h>
// After windows.h, which it needs.
#include <windows.h>
#include <bcrypt.h>

#include <string>
#include <vector>

#include "ReleaseManifest.h"
#include "TestUtil.h"

namespace {

std::string Hex(const BYTE* p, size_t cb) {
    wchar_t sz[2 * 64 + 1];
    FormatHex(p, cb, sz);
    return std::string(sz, sz + 2 * cb);
}

std::string Sha256Hex(const std::string& data) {
    BYTE digest[kSha256Bytes];
    EXPECT_TRUE(Sha256(reinterpret_cast<const BYTE*>(data.data()),
                       static_cast<DWORD>(data.size()), digest));
    return Hex(digest, sizeof(digest));
}

const std::string kList = "client.zip;1;1\r\n";
const std::string kPackage = "PK package bytes";
const std::string kUninstaller = "MZ uninstaller";

std::string Body(const std::string& serial = "1765000000",
                 const std::string& expires = "1767600000") {
    return "tarvelo-release 1\nserial " + serial + "\nexpires " + expires +
           "\nfile orbsetup.txt " + std::to_string(kList.size()) + " " + Sha256Hex(kList) +
           "\nfile client.zip " + std::to_string(kPackage.size()) + " " + Sha256Hex(kPackage) +
           "\nfile UnInstall.exe " + std::to_string(kUninstaller.size()) + " " +
           Sha256Hex(kUninstaller) + "\n";
}

const wchar_t* Parse(const std::string& text, ReleaseManifest* pManifest) {
    return ParseReleaseManifest(reinterpret_cast<const BYTE*>(text.data()),
                                static_cast<DWORD>(text.size()), pManifest);
}

// A P-256 key pair made by CNG for this run; signs as the publisher does
// (raw r || s over SHA-256).
class CTestSigner {
public:
    CTestSigner() {
        EXPECT_EQ(0, BCryptOpenAlgorithmProvider(&m_hAlg, BCRYPT_ECDSA_P256_ALGORITHM, NULL, 0));
        EXPECT_EQ(0, BCryptGenerateKeyPair(m_hAlg, &m_hKey, 256, 0));
        EXPECT_EQ(0, BCryptFinalizeKeyPair(m_hKey, 0));
        BYTE blob[sizeof(BCRYPT_ECCKEY_BLOB) + kP256KeyBytes];
        ULONG cb = 0;
        EXPECT_EQ(0, BCryptExportKey(m_hKey, NULL, BCRYPT_ECCPUBLIC_BLOB, blob, sizeof(blob),
                                     &cb, 0));
        memcpy(m_publicKey, blob + sizeof(BCRYPT_ECCKEY_BLOB), kP256KeyBytes);
    }
    ~CTestSigner() {
        BCryptDestroyKey(m_hKey);
        BCryptCloseAlgorithmProvider(m_hAlg, 0);
    }
    std::string Signed(const std::string& body) {
        BYTE digest[kSha256Bytes];
        EXPECT_TRUE(Sha256(reinterpret_cast<const BYTE*>(body.data()),
                           static_cast<DWORD>(body.size()), digest));
        BYTE sig[kP256SignatureBytes];
        ULONG cb = 0;
        EXPECT_EQ(0, BCryptSignHash(m_hKey, NULL, digest, sizeof(digest), sig, sizeof(sig), &cb, 0));
        return body + "sig " + Hex(sig, sizeof(sig)) + "\n";
    }
    BYTE m_publicKey[kP256KeyBytes];

private:
    BCRYPT_ALG_HANDLE m_hAlg = NULL;
    BCRYPT_KEY_HANDLE m_hKey = NULL;
};

const wchar_t* Accept(const std::string& text, const BYTE (&key)[kP256KeyBytes], ULONGLONG ullNow,
                      ULONGLONG ullInstalled, ReleaseManifest* pManifest) {
    return AcceptReleaseManifest(reinterpret_cast<const BYTE*>(text.data()),
                                 static_cast<DWORD>(text.size()), key, ullNow, ullInstalled,
                                 pManifest);
}

}  // namespace

TEST(ReleaseManifest, ReadsTheFilesAndTheirHashes) {
    ReleaseManifest manifest;
    const std::string body = Body();
    ASSERT_EQ(nullptr, Parse(body, &manifest));
    EXPECT_EQ(1765000000ull, manifest.ullSerial);
    EXPECT_EQ(1767600000ull, manifest.ullExpires);
    EXPECT_FALSE(manifest.bSigned);
    ASSERT_EQ(3u, manifest.vecFiles.size());
    const ManifestFile* pFile = FindManifestFile(manifest, L"client.zip");
    ASSERT_NE(nullptr, pFile);
    BYTE digest[kSha256Bytes];
    const BYTE* pPackage = reinterpret_cast<const BYTE*>(kPackage.data());
    EXPECT_TRUE(MatchesManifestFile(*pFile, pPackage, static_cast<DWORD>(kPackage.size()), digest));
    // The same bytes cut short, or one byte changed, are not the file.
    EXPECT_FALSE(MatchesManifestFile(*pFile, pPackage, pFile->cbSize - 1, digest));
    std::string changed = kPackage;
    changed[3] ^= 1;
    EXPECT_FALSE(MatchesManifestFile(*pFile, reinterpret_cast<const BYTE*>(changed.data()),
                                     pFile->cbSize, digest));
    // Names are exact: the server is asked for them as they are.
    EXPECT_EQ(nullptr, FindManifestFile(manifest, L"CLIENT.zip"));
    // SHA-256 of "abc", the standard's own example.
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", Sha256Hex("abc"));
}

TEST(ReleaseManifest, RefusesEveryMalformedManifestWhole) {
    const std::string good = Body();
    const std::string hash(64, 'a');
    std::string huge = "tarvelo-release 1\nserial 1\nexpires 2\n";
    while (huge.size() <= kManifestMaxBytes) huge += "file x" + std::to_string(huge.size()) + " 1 " + hash + "\n";
    const std::vector<std::string> bad = {
        "",
        good.substr(0, good.size() - 1),                          // cut: no final line end
        good.substr(0, good.size() / 2),                          // cut mid-line
        "tarvelo-release 2\n" + good.substr(18),                  // another version
        [&] { std::string s = good; s.insert(17, "\r"); return s; }(),  // CR LF
        good + "file " + std::string(200, 'n') + " 1 " + hash + "\n",  // line over the limit
        good + "file a.zip 1\n",                                  // two fields
        good + "file a.zip 1 " + hash + " extra\n",               // four fields
        good + "file a.zip  1 " + hash + "\n",                    // empty field
        good + "file CLIENT.ZIP 1 " + hash + "\n",                // the same name on Windows
        good + "file a.zip 1 " + std::string(64, 'A') + "\n",     // upper-case hex
        good + "file a.zip 1 " + std::string(63, 'a') + "g\n",    // not hex
        good + "file a.zip 1 " + std::string(62, 'a') + "\n",     // short hash
        good + "file a.zip 0 " + hash + "\n",                     // empty file
        good + "file a.zip 536870913 " + hash + "\n",             // over the size limit
        good + "file a.zip 99999999999999999999 " + hash + "\n",  // over 64 bits
        good + "file a.zip 01 " + hash + "\n",                    // leading zero
        good + "file a/b.zip 1 " + hash + "\n",                   // a path, not a name
        good + "file .. 1 " + hash + "\n",
        good + "sig " + std::string(126, '0') + "\n",              // signature too short
        good + "sig " + std::string(130, '0') + "\n",              // too long
        good + "sig " + std::string(127, '0') + "z\n",             // not hex
        good + "sig " + std::string(128, '0') + "\nfile a.zip 1 " + hash + "\n",  // not last
        good + "comment hello\n",                                 // unknown line
        good + std::string("file a.zip 1 ") + hash.substr(0, 10) + '\0' + hash.substr(11) + "\n",
        "tarvelo-release 1\nserial -1\nexpires 1\n" + good.substr(good.find("file ")),
        "tarvelo-release 1\nexpires 1\nserial 1\n" + good.substr(good.find("file ")),
        "tarvelo-release 1\nserial 1\nexpires 1\nsig " + std::string(128, '0') + "\n",
        "tarvelo-release 1\nserial 1\nexpires 1\nfile client.zip 1 " + hash + "\n",  // no list
        huge,
    };
    for (size_t i = 0; i < bad.size(); ++i) {
        ReleaseManifest manifest;
        EXPECT_NE(nullptr, Parse(bad[i], &manifest)) << "case " << i;
        EXPECT_TRUE(manifest.vecFiles.empty()) << "case " << i;
    }
}

TEST(ReleaseManifest, AcceptsOnlyWhatTheKeySignedWhileItIsValid) {
    CTestSigner signer;
    const ULONGLONG ullNow = 1766000000ull;
    ReleaseManifest manifest;
    const std::string body = Body();
    const std::string text = signer.Signed(body);
    ASSERT_EQ(nullptr, Accept(text, signer.m_publicKey, ullNow, 0, &manifest));
    EXPECT_TRUE(manifest.bSigned);
    EXPECT_EQ(body.size(), manifest.cbSigned);
    EXPECT_EQ(3u, manifest.vecFiles.size());

    // One bit changed in the signed text, in the signature, in the key.
    std::string data = text;
    data[body.find("serial 17650") + 10] ^= 1;  // 1765... becomes 1764...
    EXPECT_STREQ(L"signature does not verify", Accept(data, signer.m_publicKey, ullNow, 0, &manifest));
    std::string sig = text;
    sig[body.size() + 10] = sig[body.size() + 10] == '0' ? '1' : '0';
    EXPECT_STREQ(L"signature does not verify", Accept(sig, signer.m_publicKey, ullNow, 0, &manifest));
    BYTE key[kP256KeyBytes];
    memcpy(key, signer.m_publicKey, sizeof(key));
    key[40] ^= 0x04;
    EXPECT_NE(nullptr, Accept(text, key, ullNow, 0, &manifest));
    EXPECT_TRUE(manifest.vecFiles.empty());
    EXPECT_STREQ(L"not signed", Accept(body, signer.m_publicKey, ullNow, 0, &manifest));

    // Expiry, with a day's allowance for a clock that runs fast; rollback.
    const ULONGLONG ullExpires = 1767600000ull;
    EXPECT_EQ(nullptr, Accept(text, signer.m_publicKey, ullExpires + kClockSkewSeconds, 0, &manifest));
    EXPECT_STREQ(L"expired",
                 Accept(text, signer.m_publicKey, ullExpires + kClockSkewSeconds + 1, 0, &manifest));
    EXPECT_TRUE(manifest.vecFiles.empty());
    EXPECT_EQ(nullptr, Accept(text, signer.m_publicKey, ullNow, 1765000000ull, &manifest));
    EXPECT_STREQ(L"older than the installed release",
                 Accept(text, signer.m_publicKey, ullNow, 1765000001ull, &manifest));
    EXPECT_TRUE(manifest.vecFiles.empty());
}
