#include "com/event_proxy.h"

#include <oleauto.h>
#include <olectl.h>

#include "com/snapshot_enum.h"
#include "seh/seh_guard.h"
#include "support/scoped.h"
#include "tavoservice.h"

namespace {

// The client of a sink is gone.
constexpr HRESULT kServerUnavailable = static_cast<HRESULT>(0x800706BA);

}  // namespace

CProxy_CommonEvents::CProxy_CommonEvents(IConnectionPointContainer* owner, CTavoCriticalSection& section,
                                         const IID& events)
    : m_owner(owner), m_section(section), m_events(events) {}

CProxy_CommonEvents::~CProxy_CommonEvents() {
    for (IUnknown* sink : m_sinks) {
        if (sink) sink->Release();
    }
}

STDMETHODIMP CProxy_CommonEvents::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IConnectionPoint)) {
        *object = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CProxy_CommonEvents::AddRef() { return m_owner->AddRef(); }
STDMETHODIMP_(ULONG) CProxy_CommonEvents::Release() { return m_owner->Release(); }

STDMETHODIMP CProxy_CommonEvents::GetConnectionInterface(IID* iid) {
    if (!iid) return E_POINTER;
    *iid = m_events;
    return S_OK;
}

STDMETHODIMP CProxy_CommonEvents::GetConnectionPointContainer(IConnectionPointContainer** container) {
    if (!container) return E_POINTER;
    *container = m_owner;
    m_owner->AddRef();
    return S_OK;
}

STDMETHODIMP CProxy_CommonEvents::Advise(IUnknown* sink, DWORD* cookie) {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!sink) return E_POINTER;
    IUnknown* events = nullptr;
    if (FAILED(sink->QueryInterface(m_events, reinterpret_cast<void**>(&events))) || !events)
        return CONNECT_E_CANNOTCONNECT;
    CTavoLockGuard<CTavoCriticalSection> lock(m_section);
    for (size_t slot = 0; slot < m_sinks.size(); ++slot) {
        if (!m_sinks[slot]) {
            m_sinks[slot] = events;
            *cookie = static_cast<DWORD>(slot + 1);
            return S_OK;
        }
    }
    try {
        m_sinks.push_back(events);
    } catch (...) {
        events->Release();
        return CONNECT_E_ADVISELIMIT;
    }
    *cookie = static_cast<DWORD>(m_sinks.size());
    return S_OK;
}

STDMETHODIMP CProxy_CommonEvents::Unadvise(DWORD cookie) {
    IUnknown* sink = nullptr;
    {
        CTavoLockGuard<CTavoCriticalSection> lock(m_section);
        if (cookie == 0 || cookie > m_sinks.size() || !m_sinks[cookie - 1]) return CONNECT_E_NOCONNECTION;
        sink = m_sinks[cookie - 1];
        m_sinks[cookie - 1] = nullptr;
    }
    sink->Release();  // outside the section: releasing a client's proxy is a call to that client
    return S_OK;
}

STDMETHODIMP CProxy_CommonEvents::EnumConnections(IEnumConnections** connections) {
    if (!connections) return E_POINTER;
    *connections = nullptr;
    try {
        std::vector<CONNECTDATA> snapshot;
        {
            CTavoLockGuard<CTavoCriticalSection> lock(m_section);
            for (size_t slot = 0; slot < m_sinks.size(); ++slot) {
                if (m_sinks[slot]) snapshot.push_back({m_sinks[slot], static_cast<DWORD>(slot + 1)});
            }
            // The references are taken while the sinks cannot go away.
            *connections = tavo::com::ConnectionsEnum::Create(snapshot);
        }
    } catch (...) {
        *connections = nullptr;
    }
    return *connections ? S_OK : E_OUTOFMEMORY;
}

size_t CProxy_CommonEvents::SlotCount() {
    CTavoLockGuard<CTavoCriticalSection> lock(m_section);
    return m_sinks.size();
}

IDispatch* CProxy_CommonEvents::TakeSink(size_t slot) {
    CTavoLockGuard<CTavoCriticalSection> lock(m_section);
    if (slot >= m_sinks.size() || !m_sinks[slot]) return nullptr;
    // The sink was obtained for the event dispinterface, which is an IDispatch.
    IDispatch* sink = static_cast<IDispatch*>(m_sinks[slot]);
    sink->AddRef();
    return sink;
}

HRESULT CProxy_CommonEvents::GuardedInvoke(IDispatch* sink, DISPID dispid, DISPPARAMS* parameters,
                                           bool* raised) {
    HRESULT hr = E_UNEXPECTED;
    bool thrown = false;
    VARIANT result;
    VariantInit(&result);
    const bool returned = tavo::SehTry(
        [&] {
            try {
                hr = sink->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, parameters, &result,
                                  nullptr, nullptr);
            } catch (...) {
                thrown = true;
            }
        },
        [](const EXCEPTION_RECORD&) { return tavo::SehVerdict::kHandle; });
    VariantClear(&result);
    *raised = thrown || !returned;
    return hr;
}

void CProxy_CommonEvents::Fire(DISPID dispid, VARIANTARG* arguments, UINT count) {
    // A client may release its last reference from inside its handler: the instance, and this proxy
    // with it, lives until the last sink was called. Released last; nothing is read after that.
    const tavo::ComPtr<IConnectionPointContainer> keepInstance(m_owner);
    const size_t slots = SlotCount();
    for (size_t slot = 0; slot < slots; ++slot) {
        IDispatch* sink = TakeSink(slot);
        if (!sink) continue;
        DISPPARAMS parameters = {arguments, nullptr, count, 0};
        bool raised = false;
        GuardedInvoke(sink, dispid, &parameters, &raised);
        sink->Release();
    }
}

void CProxy_CommonEvents::FireText(DISPID dispid, const wchar_t* text, bool withCookie,
                                   unsigned long cookie) {
    // Every client gets the same copy; a null text stays a null string.
    tavo::ScopedBstr copy(text ? SysAllocString(text) : nullptr);
    if (text && !copy) return;  // out of memory: nothing sensible to send
    VARIANTARG arguments[2];
    UINT count = 0;
    if (withCookie) {
        VariantInit(&arguments[count]);
        arguments[count].vt = VT_I4;
        arguments[count].lVal = static_cast<LONG>(cookie);
        ++count;
    }
    VariantInit(&arguments[count]);
    arguments[count].vt = VT_BSTR;
    arguments[count].bstrVal = copy.get();
    ++count;
    Fire(dispid, arguments, count);
}

void CProxy_CommonEvents::FireCookie(DISPID dispid, unsigned long cookie) {
    VARIANTARG argument;
    VariantInit(&argument);
    argument.vt = VT_I4;
    argument.lVal = static_cast<LONG>(cookie);
    Fire(dispid, &argument, 1);
}

int CProxy_CommonEvents::Verify(int* dropped) {
    const tavo::ComPtr<IConnectionPointContainer> keepInstance(m_owner);  // as in Fire
    int live = 0;
    int gone = 0;
    const size_t slots = SlotCount();
    for (size_t slot = 0; slot < slots; ++slot) {
        IDispatch* sink = TakeSink(slot);
        if (!sink) continue;
        DISPPARAMS none = {nullptr, nullptr, 0, 0};
        bool raised = false;
        const HRESULT hr = GuardedInvoke(sink, DISPID_TAVO_LIVENESS_PING, &none, &raised);
        if (!raised && hr != kServerUnavailable) {
            ++live;
        } else {
            IUnknown* dead = nullptr;
            {
                CTavoLockGuard<CTavoCriticalSection> lock(m_section);
                // Only the sink that was pinged: while the ping waited, that client may have unadvised
                // and another sink taken the slot.
                if (slot < m_sinks.size() && m_sinks[slot] == static_cast<IUnknown*>(sink)) {
                    dead = m_sinks[slot];
                    m_sinks[slot] = nullptr;
                }
            }
            if (dead) {
                dead->Release();
                ++gone;
            }
        }
        sink->Release();
    }
    if (dropped) *dropped = gone;
    return live;
}

CProxy_IMeetingEvents::CProxy_IMeetingEvents(IConnectionPointContainer* owner, CTavoCriticalSection& section)
    : CProxy_CommonEvents(owner, section, DIID__IMeetingEvents) {}
CProxy_ISettingEvents::CProxy_ISettingEvents(IConnectionPointContainer* owner, CTavoCriticalSection& section)
    : CProxy_CommonEvents(owner, section, DIID__ISettingEvents) {}
CProxy_IUpdateEvents::CProxy_IUpdateEvents(IConnectionPointContainer* owner, CTavoCriticalSection& section)
    : CProxy_CommonEvents(owner, section, DIID__IUpdateEvents) {}
CProxy_ITelemetryEvents::CProxy_ITelemetryEvents(IConnectionPointContainer* owner,
                                                 CTavoCriticalSection& section)
    : CProxy_CommonEvents(owner, section, DIID__ITelemetryEvents) {}
