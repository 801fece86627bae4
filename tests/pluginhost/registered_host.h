// A host registered as a COM server from a folder of its own, for tests that are its clients: the
// manager test library beside it (or not), the type library alias Wine's marshaler needs, the host
// process adopted once COM started it, and an orderly end (message 1434, then unregistration).
#pragma once

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host_harness.h"
#include "support/scoped.h"

namespace tavo::test {

class RegisteredHost {
  public:
    // `manager`: the build of tavoMgr.dll to put beside the host (relative to the test programs'
    // folder), or empty for none.
    explicit RegisteredHost(const std::wstring& manager = L"fixtures\\manager\\full\\tavoMgr.dll");
    ~RegisteredHost();
    RegisteredHost(const RegisteredHost&) = delete;
    RegisteredHost& operator=(const RegisteredHost&) = delete;

    bool ok() const { return m_ok; }
    HostInstall& install() { return m_install; }
    HostProcess& process() { return m_process; }

    template <class I>
    ComPtr<I> Create(const CLSID& clsid) {
        ComPtr<I> object;
        const HRESULT hr =
            CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, __uuidof(I), object.put_void());
        EXPECT_HRESULT_SUCCEEDED(hr);
        Adopt();
        return object;
    }
    // Finds the host process COM started (once).
    void Adopt();
    // The connection point of `object` for `events`.
    static ComPtr<IConnectionPoint> Point(IUnknown* object, const IID& events);
    // Ends the host through its window and waits for it; true when it ended with 0.
    bool End();

  private:
    HostInstall m_install;
    HostProcess m_process;
    std::unique_ptr<WineTypeLibAlias> m_alias;
    bool m_ok = false;
    bool m_comInitialized = false;
};

}  // namespace tavo::test
