// Adds a DER certificate to the machine's trusted root store, so WinINet in
// this prefix validates servers the test authority signed. Exit code 0 when
// the store kept it.
#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>

#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    HANDLE hFile =
        ::CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (hFile == INVALID_HANDLE_VALUE) return 3;
    std::vector<BYTE> der(64 * 1024);
    DWORD cbRead = 0;
    BOOL bRead = ::ReadFile(hFile, der.data(), static_cast<DWORD>(der.size()), &cbRead, NULL);
    ::CloseHandle(hFile);
    if (!bRead || cbRead == 0 || cbRead == der.size()) return 3;

    HCERTSTORE hStore =
        ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
    if (!hStore) return 4;
    BOOL bAdded = ::CertAddEncodedCertificateToStore(hStore, X509_ASN_ENCODING, der.data(), cbRead,
                                                     CERT_STORE_ADD_REPLACE_EXISTING, NULL);
    // Only the close writes the store back.
    BOOL bClosed = ::CertCloseStore(hStore, 0);
    return bAdded && bClosed ? 0 : 5;
}
