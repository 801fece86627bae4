// The connection point of a class's event dispinterface and the firing of its events. One per instance,
// contained in the instance: its references are the instance's, its sink list is guarded by the
// instance's critical section, and no sink is ever called while that section is held (a call can pump
// messages and re-enter Advise or Unadvise).
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <vector>

#include "com/critical_section.h"

class CProxy_CommonEvents : public IConnectionPoint {
  public:
    // `owner` is the instance (identity, references, container); `events` the dispinterface clients
    // connect for.
    CProxy_CommonEvents(IConnectionPointContainer* owner, CTavoCriticalSection& section, const IID& events);
    virtual ~CProxy_CommonEvents();
    CProxy_CommonEvents(const CProxy_CommonEvents&) = delete;
    CProxy_CommonEvents& operator=(const CProxy_CommonEvents&) = delete;

    // IUnknown (references are the owner's)
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IConnectionPoint
    STDMETHODIMP GetConnectionInterface(IID* iid) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override;
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
    STDMETHODIMP Unadvise(DWORD cookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** connections) override;

    const IID& EventsIid() const { return m_events; }

    // Calls every connected sink's Invoke with `dispid` and `count` arguments, already in the dispatch
    // order (the last argument first). Results and exceptions of the sinks are ignored.
    void Fire(DISPID dispid, VARIANTARG* arguments, UINT count);
    // Fires with a text (a null text as a null string) and, when `withCookie`, a cookie after it.
    void FireText(DISPID dispid, const wchar_t* text, bool withCookie = false, unsigned long cookie = 0);
    void FireCookie(DISPID dispid, unsigned long cookie);

    // Pings every sink with DISPID 0 and no arguments. A sink whose client is gone (0x800706BA, or an
    // exception) is unadvised. Gives the number of live sinks; `dropped` receives the number unadvised.
    int Verify(int* dropped = nullptr);

  private:
    // The sink of a slot with a reference added, or null; taken under the section.
    IDispatch* TakeSink(size_t slot);
    size_t SlotCount();
    // Invoke inside a catch-all guard; `raised` tells whether the call ended in an exception.
    static HRESULT GuardedInvoke(IDispatch* sink, DISPID dispid, DISPPARAMS* parameters, bool* raised);

    IConnectionPointContainer* m_owner;
    CTavoCriticalSection& m_section;
    IID m_events;
    std::vector<IUnknown*> m_sinks;  // cookie = slot + 1; null for a free slot
};

// The event proxies of the four classes: the same connection point for each class's dispinterface.
class CProxy_IMeetingEvents : public CProxy_CommonEvents {
  public:
    CProxy_IMeetingEvents(IConnectionPointContainer* owner, CTavoCriticalSection& section);
};
class CProxy_ISettingEvents : public CProxy_CommonEvents {
  public:
    CProxy_ISettingEvents(IConnectionPointContainer* owner, CTavoCriticalSection& section);
};
class CProxy_IUpdateEvents : public CProxy_CommonEvents {
  public:
    CProxy_IUpdateEvents(IConnectionPointContainer* owner, CTavoCriticalSection& section);
};
class CProxy_ITelemetryEvents : public CProxy_CommonEvents {
  public:
    CProxy_ITelemetryEvents(IConnectionPointContainer* owner, CTavoCriticalSection& section);
};
