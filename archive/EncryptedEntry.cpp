#include "EncryptedEntry.h"

namespace {
const uint32_t kHeaderSize = 12;
}

CEncryptedEntry::CEncryptedEntry(unzFile uf, const unz_file_info64& info)
    : m_uf(uf),
      m_info(info),
      m_nProduced(0),
      m_nCrc(0),
      m_bInflating(false),
      m_bInputDone(false),
      m_stream() {
    // The key state after an empty password: the initial values unchanged.
    m_anKeys[0] = 0x12345678;
    m_anKeys[1] = 0x23456789;
    m_anKeys[2] = 0x34567890;
}

CEncryptedEntry::~CEncryptedEntry() {
    if (m_bInflating) inflateEnd(&m_stream);
}

void CEncryptedEntry::UpdateKeys(BYTE bPlain) {
    const z_crc_t* pTable = get_crc_table();
    m_anKeys[0] = pTable[(m_anKeys[0] ^ bPlain) & 0xFF] ^ (m_anKeys[0] >> 8);
    m_anKeys[1] = (m_anKeys[1] + (m_anKeys[0] & 0xFF)) * 134775813u + 1;
    m_anKeys[2] = pTable[(m_anKeys[2] ^ (m_anKeys[1] >> 24)) & 0xFF] ^ (m_anKeys[2] >> 8);
}

BYTE CEncryptedEntry::DecryptByte(BYTE b) {
    uint32_t nTemp = (m_anKeys[2] | 2) & 0xFFFF;
    BYTE bPlain = static_cast<BYTE>(b ^ ((nTemp * (nTemp ^ 1)) >> 8));
    UpdateKeys(bPlain);
    return bPlain;
}

// Raw bytes from the core, decrypted; 0 at the end of the stored data.
int CEncryptedEntry::ReadRaw(BYTE* pBuf, uint32_t cb) {
    int n = unzReadCurrentFile(m_uf, pBuf, cb);
    for (int i = 0; i < n; ++i) pBuf[i] = DecryptByte(pBuf[i]);
    return n;
}

bool CEncryptedEntry::CheckHeader() {
    BYTE abHeader[kHeaderSize];
    if (ReadRaw(abHeader, kHeaderSize) != static_cast<int>(kHeaderSize)) return false;
    // With a data descriptor (bit 3) the CRC is not known up front, so the
    // writer checks against the DOS time instead.
    BYTE bCheck = (m_info.flag & 8) ? static_cast<BYTE>(m_info.dosDate >> 8)
                                    : static_cast<BYTE>(m_info.crc >> 24);
    return abHeader[kHeaderSize - 1] == bCheck;
}

int CEncryptedEntry::Read(BYTE* pBuf, uint32_t cb) {
    uint64_t nRest = m_info.uncompressed_size - m_nProduced;
    if (cb > nRest) cb = static_cast<uint32_t>(nRest);
    if (cb == 0) return 0;

    int nOut;
    if (m_info.compression_method == 0) {
        nOut = ReadRaw(pBuf, cb);
        if (nOut < 0) return nOut;
    } else {
        z_stream* pStream = &m_stream;
        if (!m_bInflating) {
            if (inflateInit2(pStream, -MAX_WBITS) != Z_OK) return Z_MEM_ERROR;
            m_bInflating = true;
        }
        pStream->next_out = pBuf;
        pStream->avail_out = cb;
        while (pStream->avail_out > 0) {
            if (pStream->avail_in == 0 && !m_bInputDone) {
                int nIn = ReadRaw(m_abIn, sizeof(m_abIn));
                if (nIn < 0) return nIn;
                if (nIn == 0) m_bInputDone = true;
                pStream->next_in = m_abIn;
                pStream->avail_in = static_cast<uInt>(nIn);
            }
            int nErr = inflate(pStream, Z_SYNC_FLUSH);
            if (nErr == Z_STREAM_END) break;
            // No progress possible: input exhausted before the stream ended.
            if (nErr == Z_BUF_ERROR && m_bInputDone) break;
            if (nErr != Z_OK) return Z_DATA_ERROR;
        }
        nOut = static_cast<int>(cb - pStream->avail_out);
    }
    m_nCrc = crc32(m_nCrc, pBuf, static_cast<uInt>(nOut));
    m_nProduced += static_cast<uint64_t>(nOut);
    return nOut;
}

bool CEncryptedEntry::IsComplete() const {
    return m_nProduced == m_info.uncompressed_size && m_nCrc == m_info.crc;
}
