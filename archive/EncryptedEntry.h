#pragma once
// Reads an entry with traditional PKWARE encryption under the empty password.
// minizip (as built here) has no decryption, so the core hands us the entry's
// raw bytes and we decrypt, copy or inflate, and check the CRC ourselves.
#include <stdint.h>
#include <windows.h>

#include "unzip.h"

class CEncryptedEntry {
public:
    // The core's current entry must be open raw (unzOpenCurrentFile2, raw 1).
    CEncryptedEntry(unzFile uf, const unz_file_info64& info);
    ~CEncryptedEntry();
    CEncryptedEntry(const CEncryptedEntry&) = delete;
    CEncryptedEntry& operator=(const CEncryptedEntry&) = delete;

    // Decrypts the 12-byte header: false when its last byte is not the check
    // byte (or the data is shorter than the header).
    bool CheckHeader();
    // Up to cb uncompressed bytes; 0 when no more come; negative on error.
    int Read(BYTE* pBuf, uint32_t cb);
    // Every byte of the entry arrived and their CRC-32 is the recorded one.
    bool IsComplete() const;

private:
    int ReadRaw(BYTE* pBuf, uint32_t cb);
    BYTE DecryptByte(BYTE b);
    void UpdateKeys(BYTE bPlain);

    unzFile m_uf;
    unz_file_info64 m_info;
    uint32_t m_anKeys[3];
    uint64_t m_nProduced;
    uint32_t m_nCrc;
    bool m_bInflating;  // m_stream initialised
    bool m_bInputDone;
    z_stream m_stream;
    BYTE m_abIn[4096];
};
