// What the host's four classes share: identity and references (a live instance holds a lock on the
// server module), IDispatch from the embedded type library, ISupportErrorInfo, one connection point for
// the class's event dispinterface, the instance's critical section and its liveness verifier.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>
#include <olectl.h>

#include <atomic>
#include <new>
#include <vector>

#include "com/class_factory.h"
#include "com/critical_section.h"
#include "com/event_proxy.h"
#include "com/obj_verify.h"
#include "com/snapshot_enum.h"
#include "com/type_info.h"
#include "module/module.h"
#include "support/scoped.h"

template <class Dual, const IID* DualIid, class Proxy>
class CTavoObject : public ISupportErrorInfo,
                    public IConnectionPointContainer,
                    public Dual,
                    protected CTavoVerifiable {
  public:
    CTavoObject(const CTavoObject&) = delete;
    CTavoObject& operator=(const CTavoObject&) = delete;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, *DualIid)) {
            *object = static_cast<Dual*>(this);
        } else if (IsEqualIID(iid, IID_ISupportErrorInfo)) {
            *object = static_cast<ISupportErrorInfo*>(this);
        } else if (IsEqualIID(iid, IID_IConnectionPointContainer)) {
            *object = static_cast<IConnectionPointContainer*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG refs = --m_refs;
        if (refs == 0) {
            // Nothing that the end calls may end the instance a second time.
            m_refs = kEnding;
            TavoRevokeActiveObject(static_cast<IUnknown*>(static_cast<Dual*>(this)));
            delete this;
        }
        return refs;
    }

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** typeInfo) override {
        if (!typeInfo) return E_POINTER;
        *typeInfo = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        if (!m_typeInfo) return E_UNEXPECTED;
        *typeInfo = m_typeInfo.get();
        m_typeInfo->AddRef();
        return S_OK;
    }
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        if (!m_typeInfo) return E_UNEXPECTED;
        return m_typeInfo->GetIDsOfNames(names, count, ids);
    }
    STDMETHODIMP Invoke(DISPID dispid, REFIID iid, LCID, WORD flags, DISPPARAMS* parameters, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) override {
        if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        if (!m_typeInfo) return E_UNEXPECTED;
        return m_typeInfo->Invoke(static_cast<Dual*>(this), dispid, flags, parameters, result, exception,
                                  argumentError);
    }

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override {
        return IsEqualIID(iid, *DualIid) ? S_OK : S_FALSE;
    }

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override {
        if (!points) return E_POINTER;
        *points = nullptr;
        try {
            *points = tavo::com::ConnectionPointsEnum::Create({static_cast<IConnectionPoint*>(&m_proxy)});
        } catch (...) {
        }
        return *points ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
        if (!point) return E_POINTER;
        *point = nullptr;
        if (!IsEqualIID(iid, m_proxy.EventsIid())) return CONNECT_E_NOCONNECTION;
        *point = &m_proxy;
        m_proxy.AddRef();
        return S_OK;
    }

    // Creates an instance and gives the requested interface. The server is local: the platform refuses
    // aggregation before a request arrives, so an outer object never reaches this point from a client.
    template <class Derived>
    static HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        Derived* created = nullptr;
        try {
            created = new Derived();
        } catch (...) {
            return E_OUTOFMEMORY;  // nothing of a construction may escape into COM
        }
        created->AddRef();
        const HRESULT hr = created->QueryInterface(iid, object);
        created->Release();
        return hr;
    }

  protected:
    CTavoObject() : m_proxy(this, m_section), m_verify(*this) {
        HostModule().Lock();
        LoadHostTypeInfo(*DualIid, m_typeInfo.put());
    }
    virtual ~CTavoObject() { HostModule().Unlock(); }

    // The liveness ping: drops the sinks of clients that are gone. The references such a client held are
    // the platform's to release (Windows does after the client's ping period); live clients without a
    // sink keep their instance.
    int VerifyClients() override { return m_proxy.Verify(); }

    Proxy& Events() { return m_proxy; }
    ITavoObjVerify* Verifier() { return &m_verify; }

  private:
    static constexpr LONG kEnding = 0x40000000;

    std::atomic<LONG> m_refs{0};
    CTavoCriticalSection m_section;  // guards the sink list of m_proxy
    Proxy m_proxy;
    CTavoObjVerify m_verify;
    tavo::ComPtr<ITypeInfo> m_typeInfo;
};
