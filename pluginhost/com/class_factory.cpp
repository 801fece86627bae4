#include "com/class_factory.h"

#include <oleauto.h>

#include <new>

#include "com/critical_section.h"
#include "module/module.h"
#include "support/scoped.h"
#include "tavoservice.h"

CTavoClassFactory_ProcessSingleton::CTavoClassFactory_ProcessSingleton(const CLSID& clsid,
                                                                       TavoCreateInstanceFn create)
    : m_clsid(clsid), m_create(create) {}

CTavoClassFactory_ProcessSingleton::~CTavoClassFactory_ProcessSingleton() {
    if (m_activeRegister) RevokeActiveObject(m_activeRegister, nullptr);
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
    CTavoLockGuard<CTavoGlobalCS> lock(g_tavoGlobalCS);
    return CreateInstanceLocked(outer, iid, object);
}

HRESULT CTavoClassFactory_ProcessSingleton::CreateInstanceLocked(IUnknown* outer, REFIID iid, void** object) {
    tavo::ComPtr<IUnknown> active;
    HRESULT hr = GetActiveObject(m_clsid, nullptr, active.put());
    if (SUCCEEDED(hr) && active) return active->QueryInterface(iid, object);

    if (!m_create) return CLASS_E_CLASSNOTAVAILABLE;
    hr = m_create(outer, iid, object);
    if (FAILED(hr)) return hr;
    // A weak registration: the table does not keep the instance alive, its clients do.
    hr = RegisterActiveObject(static_cast<IUnknown*>(*object), m_clsid, ACTIVEOBJECT_WEAK, &m_activeRegister);
    if (FAILED(hr)) {
        // A failed call hands out nothing: the new instance must not stay alive without a client.
        static_cast<IUnknown*>(*object)->Release();
        *object = nullptr;
    }
    return hr;
}

STDMETHODIMP CTavoClassFactory_ProcessSingleton::LockServer(BOOL lock) {
    if (lock)
        HostModule().Lock();
    else
        HostModule().Unlock();
    return S_OK;
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
