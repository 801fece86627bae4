// Small move-only owners for the system's handles. A null value and INVALID_HANDLE_VALUE are both "empty".
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <unknwn.h>
#include <winsvc.h>

#include <utility>

namespace tavo {

template <class T, class Traits>
class UniqueResource {
  public:
    UniqueResource() = default;
    explicit UniqueResource(T value) : m_value(value) {}
    ~UniqueResource() { reset(); }
    UniqueResource(UniqueResource&& other) noexcept : m_value(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    [[nodiscard]] T get() const { return m_value; }
    bool valid() const { return Traits::IsValid(m_value); }
    explicit operator bool() const { return valid(); }
    // Hands the value to the caller, who closes it from now on.
    [[nodiscard]] T release() { return std::exchange(m_value, Traits::Empty()); }
    // Closes the value held (if any) and takes `value`. The thread's last error is kept: closing the old
    // value must not overwrite the error of the call that just failed.
    void reset(T value = Traits::Empty()) {
        T old = std::exchange(m_value, value);
        if (Traits::IsValid(old)) {
            const DWORD lastError = GetLastError();
            Traits::Close(old);
            SetLastError(lastError);
        }
    }
    // For out-parameters: releases the current value and hands out the slot.
    T* put() {
        reset();
        return &m_value;
    }

  private:
    T m_value = Traits::Empty();
};

struct HandleTraits {
    static HANDLE Empty() { return nullptr; }
    static bool IsValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { CloseHandle(h); }
};
struct RegKeyTraits {
    static HKEY Empty() { return nullptr; }
    static bool IsValid(HKEY k) { return k != nullptr; }
    static void Close(HKEY k) { RegCloseKey(k); }
};
struct FindTraits {
    static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { FindClose(h); }
};
struct LibraryTraits {
    static HMODULE Empty() { return nullptr; }
    static bool IsValid(HMODULE m) { return m != nullptr; }
    static void Close(HMODULE m) { FreeLibrary(m); }
};
struct LocalMemoryTraits {
    static HLOCAL Empty() { return nullptr; }
    static bool IsValid(HLOCAL p) { return p != nullptr; }
    static void Close(HLOCAL p) { LocalFree(p); }
};

struct GlobalMemoryTraits {
    static HGLOBAL Empty() { return nullptr; }
    static bool IsValid(HGLOBAL p) { return p != nullptr; }
    static void Close(HGLOBAL p) { GlobalFree(p); }
};
// A block of the process heap (HeapAlloc on GetProcessHeap()).
struct ProcessHeapTraits {
    static void* Empty() { return nullptr; }
    static bool IsValid(void* p) { return p != nullptr; }
    static void Close(void* p) { HeapFree(GetProcessHeap(), 0, p); }
};
// A window, destroyed on the thread that owns the owner (DestroyWindow works on the creating thread only);
// a window that is already gone is left alone.
struct WindowTraits {
    static HWND Empty() { return nullptr; }
    static bool IsValid(HWND w) { return w != nullptr; }
    static void Close(HWND w) {
        if (IsWindow(w)) DestroyWindow(w);
    }
};
struct ServiceHandleTraits {
    static SC_HANDLE Empty() { return nullptr; }
    static bool IsValid(SC_HANDLE h) { return h != nullptr; }
    static void Close(SC_HANDLE h) { CloseServiceHandle(h); }
};

// A user environment block made by CreateEnvironmentBlock; Close releases it through
// CTavoCallProcess::VlrTavoDestroyEnvironmentBlock (defined with the environment-block operations).
struct EnvironmentBlockTraits {
    static LPVOID Empty() { return nullptr; }
    static bool IsValid(LPVOID p) { return p != nullptr; }
    static void Close(LPVOID p);
};

using ScopedHandle = UniqueResource<HANDLE, HandleTraits>;
// Access tokens are kernel handles closed with CloseHandle.
using ScopedToken = ScopedHandle;
using ScopedRegKey = UniqueResource<HKEY, RegKeyTraits>;
using ScopedFindHandle = UniqueResource<HANDLE, FindTraits>;
using ScopedLibrary = UniqueResource<HMODULE, LibraryTraits>;
using ScopedWindow = UniqueResource<HWND, WindowTraits>;
using ScopedLocalMemory = UniqueResource<HLOCAL, LocalMemoryTraits>;
using ScopedGlobalMemory = UniqueResource<HGLOBAL, GlobalMemoryTraits>;
using ScopedProcessHeapMemory = UniqueResource<void*, ProcessHeapTraits>;
// A Service Control Manager or service handle.
using ScopedServiceHandle = UniqueResource<SC_HANDLE, ServiceHandleTraits>;
using ScopedEnvironmentBlock = UniqueResource<LPVOID, EnvironmentBlockTraits>;

struct BstrTraits {
    static BSTR Empty() { return nullptr; }
    static bool IsValid(BSTR s) { return s != nullptr; }
    static void Close(BSTR s) { SysFreeString(s); }
};
// A BSTR owned by the caller (SysFreeString).
using ScopedBstr = UniqueResource<BSTR, BstrTraits>;

// One reference to a COM object.
template <class T>
class ComPtr {
  public:
    ComPtr() = default;
    // Takes over a reference the caller owns.
    static ComPtr Attach(T* p) {
        ComPtr result;
        result.m_p = p;
        return result;
    }
    // Adds a reference of its own.
    explicit ComPtr(T* p) : m_p(p) {
        if (m_p) m_p->AddRef();
    }
    ~ComPtr() { reset(); }
    ComPtr(const ComPtr& other) : ComPtr(other.m_p) {}
    ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(m_p, other.m_p);
        return *this;
    }

    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    void reset() {
        if (T* p = std::exchange(m_p, nullptr)) p->Release();
    }
    // Hands the reference to the caller.
    [[nodiscard]] T* release() { return std::exchange(m_p, nullptr); }
    // For out-parameters: releases the current object and hands out the slot.
    T** put() {
        reset();
        return &m_p;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }

  private:
    T* m_p = nullptr;
};

}  // namespace tavo
