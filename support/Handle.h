#pragma once
// Move-only owners for system handles and COM pointers. Copying an owner does
// not compile, so a handle has exactly one closer.
#include <objbase.h>
#include <windows.h>

template <typename T, typename Traits>
class CHandleOwner {
public:
    CHandleOwner() : m_h(Traits::Invalid()) {}
    explicit CHandleOwner(T h) : m_h(h) {}
    ~CHandleOwner() { Close(); }
    CHandleOwner(const CHandleOwner&) = delete;
    CHandleOwner& operator=(const CHandleOwner&) = delete;
    CHandleOwner(CHandleOwner&& other) noexcept : m_h(other.Detach()) {}
    CHandleOwner& operator=(CHandleOwner&& other) noexcept {
        if (this != &other) Reset(other.Detach());
        return *this;
    }

    T Get() const { return m_h; }
    bool IsValid() const { return m_h != Traits::Invalid(); }
    explicit operator bool() const { return IsValid(); }
    T Detach() {
        T h = m_h;
        m_h = Traits::Invalid();
        return h;
    }
    void Reset(T h = Traits::Invalid()) {
        Close();
        m_h = h;
    }
    void Close() {
        if (IsValid()) Traits::Close(m_h);
        m_h = Traits::Invalid();
    }

private:
    T m_h;
};

struct NullHandleTraits {
    static HANDLE Invalid() { return NULL; }
    static void Close(HANDLE h) { ::CloseHandle(h); }
};
struct FileHandleTraits {
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { ::CloseHandle(h); }
};
struct FindHandleTraits {
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { ::FindClose(h); }
};
struct RegKeyTraits {
    static HKEY Invalid() { return NULL; }
    static void Close(HKEY h) { ::RegCloseKey(h); }
};
struct GdiObjectTraits {
    static HGDIOBJ Invalid() { return NULL; }
    static void Close(HGDIOBJ h) { ::DeleteObject(h); }
};

struct LocalMemTraits {
    static LPWSTR* Invalid() { return NULL; }
    static void Close(LPWSTR* p) { ::LocalFree(p); }
};

// Threads, events, processes (NULL when absent).
typedef CHandleOwner<HANDLE, NullHandleTraits> CHandle;
// Files and Tool Help snapshots (INVALID_HANDLE_VALUE when absent).
typedef CHandleOwner<HANDLE, FileHandleTraits> CFileHandle;
typedef CHandleOwner<HANDLE, FindHandleTraits> CFindHandle;
typedef CHandleOwner<HKEY, RegKeyTraits> CRegKey;
typedef CHandleOwner<HGDIOBJ, GdiObjectTraits> CGdiObject;
// CommandLineToArgvW's array.
typedef CHandleOwner<LPWSTR*, LocalMemTraits> CArgvOwner;

// A COM interface pointer that releases itself.
template <typename T>
class CComPtr {
public:
    CComPtr() : m_p(NULL) {}
    ~CComPtr() { Release(); }
    CComPtr(const CComPtr&) = delete;
    CComPtr& operator=(const CComPtr&) = delete;

    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != NULL; }
    // For out-parameters of creation calls; releases what was held before.
    T** Receive() {
        Release();
        return &m_p;
    }
    void** ReceiveVoid() { return reinterpret_cast<void**>(Receive()); }
    void Release() {
        if (m_p) m_p->Release();
        m_p = NULL;
    }

private:
    T* m_p;
};

// Writes all cbData bytes at the file's position: false also for a short
// write (a full disk may take part of it).
inline bool WriteAll(HANDLE hFile, const void* pData, DWORD cbData) {
    DWORD cbWritten = 0;
    return ::WriteFile(hFile, pData, cbData, &cbWritten, NULL) && cbWritten == cbData;
}

// CoInitialize for a scope; uninitialises only after a successful initialise.
class CComScope {
public:
    CComScope() : m_hr(::CoInitialize(NULL)) {}
    ~CComScope() {
        if (SUCCEEDED(m_hr)) ::CoUninitialize();
    }
    CComScope(const CComScope&) = delete;
    CComScope& operator=(const CComScope&) = delete;
    HRESULT Result() const { return m_hr; }

private:
    HRESULT m_hr;
};
