#pragma once
// The run's download buffer: one block that HttpDownload appends to and may
// replace by a larger one, with its held and allocated sizes. It owns the
// block, so nobody frees it by hand; moving it hands the block over.
#include <string.h>
#include <windows.h>

#include <new>

#include "HttpDownload.h"

// 17 MiB: a package of the publisher's largest size (16 MiB) arrives in the
// first block with room to spare, so it is never copied into a second one.
enum { kDownloadBufInitialSize = 17825792 };

class CDownloadBuffer {
public:
    CDownloadBuffer()
        : m_pDownloadBuf(new (std::nothrow) BYTE[kDownloadBufInitialSize]()),
          m_nDownloadBufSize(m_pDownloadBuf ? kDownloadBufInitialSize : 0),
          m_nDownloadLen(0) {}
    ~CDownloadBuffer() { delete[] m_pDownloadBuf; }
    CDownloadBuffer(const CDownloadBuffer&) = delete;
    CDownloadBuffer& operator=(const CDownloadBuffer&) = delete;
    CDownloadBuffer(CDownloadBuffer&& other) noexcept
        : m_pDownloadBuf(other.m_pDownloadBuf),
          m_nDownloadBufSize(other.m_nDownloadBufSize),
          m_nDownloadLen(other.m_nDownloadLen) {
        other.m_pDownloadBuf = NULL;
        other.m_nDownloadBufSize = other.m_nDownloadLen = 0;
    }
    CDownloadBuffer& operator=(CDownloadBuffer&& other) noexcept {
        if (this != &other) {
            delete[] m_pDownloadBuf;
            m_pDownloadBuf = other.m_pDownloadBuf;
            m_nDownloadBufSize = other.m_nDownloadBufSize;
            m_nDownloadLen = other.m_nDownloadLen;
            other.m_pDownloadBuf = NULL;
            other.m_nDownloadBufSize = other.m_nDownloadLen = 0;
        }
        return *this;
    }

    // Holds nothing, and nothing of what it held stays readable.
    void Clear() {
        if (m_pDownloadBuf) memset(m_pDownloadBuf, 0, m_nDownloadBufSize);
        m_nDownloadLen = 0;
    }
    // Room for at least cbNeeded bytes, keeping what is held.
    bool Reserve(ULONGLONG cbNeeded) {
        return GrowDownloadBuffer(&m_pDownloadBuf, &m_nDownloadBufSize, m_nDownloadLen, cbNeeded);
    }

    BYTE* m_pDownloadBuf;
    DWORD m_nDownloadBufSize;
    DWORD m_nDownloadLen;
};
