#include "com/class_factory.h"

#include <oleauto.h>

#include <new>

#include "com/critical_section.h"
#include "module/module.h"
#include "support/scoped.h"
#include "tavoservice.h"

namespace {

// The running object table registrations of the live instances, one at most per class. Changed under the
// global lock.
struct ActiveRegistration {
    CLSID clsid;
    IUnknown* identity;  // a key only, never called
    DWORD cookie;
};
ActiveRegistration g_activeRegistrations[4] = {};

// Revokes the entry's registration and empties it.
void RevokeEntry(ActiveRegistration& entry) {
    const DWORD cookie = entry.cookie;
    entry = ActiveRegistration{};
    if (cookie) RevokeActiveObject(cookie, nullptr);
}

ActiveRegistration* EntryOfClass(const CLSID& clsid) {
    for (ActiveRegistration& entry : g_activeRegistrations) {
        if (entry.cookie && IsEqualCLSID(entry.clsid, clsid)) return &entry;
    }
    return nullptr;
}

// Registers `identity` as the class's active object, replacing (and revoking) an older registration.
HRESULT RegisterActive(const CLSID& clsid, IUnknown* identity) {
    if (ActiveRegistration* old = EntryOfClass(clsid)) RevokeEntry(*old);
    ActiveRegistration* free = nullptr;
    for (ActiveRegistration& entry : g_activeRegistrations) {
        if (!entry.cookie) {
            free = &entry;
            break;
        }
    }
    if (!free) return E_UNEXPECTED;  // one entry per class: never reached
    DWORD cookie = 0;
    // A weak registration: the table does not keep the instance alive, its clients do.
    const HRESULT hr = RegisterActiveObject(identity, clsid, ACTIVEOBJECT_WEAK, &cookie);
    if (SUCCEEDED(hr)) *free = ActiveRegistration{clsid, identity, cookie};
    return hr;
}

}  // namespace

void TavoRevokeActiveObject(IUnknown* identity) {
    if (!identity) return;
    CTavoLockGuard<CTavoGlobalCS> lock(g_tavoGlobalCS);
    for (ActiveRegistration& entry : g_activeRegistrations) {
        if (entry.cookie && entry.identity == identity) RevokeEntry(entry);
    }
}

CTavoClassFactory_ProcessSingleton::CTavoClassFactory_ProcessSingleton(const CLSID& clsid,
                                                                       TavoCreateInstanceFn create)
    : m_clsid(clsid), m_create(create) {}

CTavoClassFactory_ProcessSingleton::~CTavoClassFactory_ProcessSingleton() {
    // The class objects are revoked at the end of the run: an instance still held by a client is found
    // through them no more.
    CTavoLockGuard<CTavoGlobalCS> lock(g_tavoGlobalCS);
    if (ActiveRegistration* entry = EntryOfClass(m_clsid)) RevokeEntry(*entry);
}

STDMETHODIMP CTavoClassFactory_ProcessSingleton::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CTavoClassFactory_ProcessSingleton::AddRef() { return ++m_refs; }

STDMETHODIMP_(ULONG) CTavoClassFactory_ProcessSingleton::Release() {
    LONG refs = --m_refs;
    if (refs == 0) delete this;
    return refs;
}

STDMETHODIMP CTavoClassFactory_ProcessSingleton::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    // The module stays locked while the object is found or made: the server cannot decide to stop in
    // between, and once it has decided, it hands out nothing more (COM then starts a new server for the
    // client on Windows).
    if (!HostModule().TryLock()) return CO_E_SERVER_STOPPING;
    HRESULT hr;
    {
        CTavoLockGuard<CTavoGlobalCS> lock(g_tavoGlobalCS);
        hr = CreateInstanceLocked(outer, iid, object);
    }
    HostModule().Unlock();
    return hr;
}

HRESULT CTavoClassFactory_ProcessSingleton::CreateInstanceLocked(IUnknown* outer, REFIID iid, void** object) {
    tavo::ComPtr<IUnknown> active;
    HRESULT hr = GetActiveObject(m_clsid, nullptr, active.put());
    if (SUCCEEDED(hr) && active) return active->QueryInterface(iid, object);

    if (!m_create) return CLASS_E_CLASSNOTAVAILABLE;
    hr = m_create(outer, iid, object);
    if (FAILED(hr)) return hr;
    tavo::ComPtr<IUnknown> identity;
    hr = static_cast<IUnknown*>(*object)->QueryInterface(IID_IUnknown, identity.put_void());
    if (SUCCEEDED(hr)) hr = RegisterActive(m_clsid, identity.get());
    if (FAILED(hr)) {
        // A failed call hands out nothing: the new instance must not stay alive without a client.
        static_cast<IUnknown*>(*object)->Release();
        *object = nullptr;
    }
    return hr;
}

STDMETHODIMP CTavoClassFactory_ProcessSingleton::LockServer(BOOL lock) {
    if (!lock) {
        HostModule().Unlock();
        return S_OK;
    }
    return HostModule().TryLock() ? S_OK : CO_E_SERVER_STOPPING;
}

namespace {

const CLSID* const kHostClasses[] = {&CLSID_Setting, &CLSID_Meeting, &CLSID_Update, &CLSID_Telemetry};

}  // namespace

HRESULT CTavoClassObjects::RegisterAll(TavoClassCreatorFn creatorOf) {
    for (size_t i = 0; i < 4; ++i) {
        const CLSID& clsid = *kHostClasses[i];
        auto* factory = new (std::nothrow) CTavoClassFactory_ProcessSingleton(clsid, creatorOf(clsid));
        if (!factory) return E_OUTOFMEMORY;
        m_entries[i].factory = factory;
        HRESULT hr = CoRegisterClassObject(clsid, static_cast<IClassFactory*>(factory), CLSCTX_LOCAL_SERVER,
                                           REGCLS_MULTIPLEUSE, &m_entries[i].cookie);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

void CTavoClassObjects::RevokeAll() {
    for (Entry& entry : m_entries) {
        if (entry.cookie) CoRevokeClassObject(entry.cookie);
        entry.cookie = 0;
        if (entry.factory) entry.factory->Release();
        entry.factory = nullptr;
    }
}
