// The event proxy in process: firing (arguments in dispatch order, a null text as a null string, every
// sink in turn, failures ignored), the liveness ping and its dropping of dead sinks, and the connection
// point's bookkeeping, against sinks of this test.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "com/event_proxy.h"
#include "event_sink.h"
#include "sinks/manager_sinks.h"
#include "tavoservice.h"

using tavo::test::EventSink;

namespace {

// The container the proxy belongs to: counts the references the proxy passes on.
class Container : public IConnectionPointContainer {
  public:
    STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    STDMETHODIMP FindConnectionPoint(REFIID, IConnectionPoint**) override { return E_NOTIMPL; }
    LONG refs = 1;
};

// A sink whose Invoke answers a fixed HRESULT or faults.
class FailingSink : public EventSink {
  public:
    FailingSink(HRESULT answer, bool fault)
        : EventSink(DIID__IMeetingEvents), m_answer(answer), m_fault(fault) {}
    STDMETHODIMP Invoke(DISPID dispid, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* parameters,
                        VARIANT* result, EXCEPINFO* exception, UINT* error) override {
        EventSink::Invoke(dispid, iid, lcid, flags, parameters, result, exception, error);
        if (m_fault) RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
        return m_answer;
    }

  private:
    HRESULT m_answer;
    bool m_fault;
};

struct ProxyTest : ::testing::Test {
    Container container;
    CTavoCriticalSection section;
    CProxy_IMeetingEvents proxy{&container, section};

    DWORD Advise(IUnknown* sink) {
        DWORD cookie = 0;
        EXPECT_EQ(S_OK, proxy.Advise(sink, &cookie));
        return cookie;
    }
};

TEST_F(ProxyTest, SinksFireTheirEventsToEveryConnectedSinkWithTheWireDispids) {
    CTavoSink_Meeting meetingSink(&proxy);
    meetingSink.OnGetMeetingData(L"nobody listens", 1);  // no sink: nothing happens

    EventSink first(DIID__IMeetingEvents), second(DIID__IMeetingEvents);
    Advise(&first);
    Advise(&second);
    meetingSink.OnGetMeetingData(L"data", 7);
    meetingSink.OnMeetingChanged(nullptr);
    meetingSink.OnError(L"", 0xFFFFFFFF);
    const std::string expected = "32(bstr:\"data\",i4:7)\n96(bstr:null)\n16(bstr:\"\",i4:-1)\n";
    EXPECT_EQ(expected, first.Transcript());
    EXPECT_EQ(expected, second.Transcript());

    CTavoSink_Setting settingSink(&proxy);
    CTavoSink_Update updateSink(&proxy);
    settingSink.OnSetClose(3);
    settingSink.OnGetSetting(L"s", 4);
    updateSink.OnUpdateComplete(5);
    updateSink.OnGeneralCall(nullptr);
    EXPECT_EQ(expected + "3(i4:3)\n2(bstr:\"s\",i4:4)\n512(i4:5)\n768(bstr:null)\n", first.Transcript());

    // A sink without a proxy does nothing.
    CTavoSink_Meeting detached(nullptr);
    detached.OnGeneralCall(L"lost");
    EXPECT_EQ(7u, first.EventCount());
}

TEST_F(ProxyTest, AFailingOrFaultingSinkDoesNotStopTheOthers) {
    FailingSink refusing(E_FAIL, false), faulting(S_OK, true);
    EventSink last(DIID__IMeetingEvents);
    Advise(&refusing);
    Advise(&faulting);
    Advise(&last);
    proxy.FireText(0x70, L"x");
    EXPECT_EQ("112(bstr:\"x\")\n", refusing.Transcript());
    EXPECT_EQ("112(bstr:\"x\")\n", faulting.Transcript());
    EXPECT_EQ("112(bstr:\"x\")\n", last.Transcript());
}

TEST_F(ProxyTest, VerifyDropsSinksOfGoneClientsAndCountsTheOthers) {
    FailingSink gone(static_cast<HRESULT>(0x800706BA), false), faulting(S_OK, true);
    FailingSink unaware(DISP_E_MEMBERNOTFOUND, false), failing(E_FAIL, false);
    EventSink live(DIID__IMeetingEvents);
    Advise(&gone);
    Advise(&faulting);
    Advise(&unaware);
    Advise(&failing);
    const DWORD liveCookie = Advise(&live);
    int dropped = -1;
    EXPECT_EQ(3, proxy.Verify(&dropped));
    EXPECT_EQ(2, dropped);
    EXPECT_EQ("0()\n", gone.Transcript());
    EXPECT_EQ(1, gone.refs());  // the connection's reference was released
    EXPECT_EQ(1, faulting.refs());
    EXPECT_EQ(2, live.refs());
    // A second round pings only what is left.
    EXPECT_EQ(3, proxy.Verify(&dropped));
    EXPECT_EQ(0, dropped);
    EXPECT_EQ(1u, gone.EventCount());
    EXPECT_EQ(S_OK, proxy.Unadvise(liveCookie));
}

// A client that, while it is pinged, unadvises its sink and advises a new one (which takes the freed slot)
// and then answers as a gone client would: only the pinged sink is dropped.
class SlotSwappingSink : public EventSink {
  public:
    SlotSwappingSink(CProxy_CommonEvents& proxy, IUnknown* replacement)
        : EventSink(DIID__IMeetingEvents), m_proxy(proxy), m_replacement(replacement) {}
    DWORD cookie = 0;
    DWORD replacementCookie = 0;
    STDMETHODIMP Invoke(DISPID dispid, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* parameters,
                        VARIANT* result, EXCEPINFO* exception, UINT* error) override {
        EventSink::Invoke(dispid, iid, lcid, flags, parameters, result, exception, error);
        m_proxy.Unadvise(cookie);
        m_proxy.Advise(m_replacement, &replacementCookie);
        return static_cast<HRESULT>(0x800706BA);
    }

  private:
    CProxy_CommonEvents& m_proxy;
    IUnknown* m_replacement;
};

TEST_F(ProxyTest, VerifyDropsOnlyTheSinkItPinged) {
    EventSink replacement(DIID__IMeetingEvents);
    SlotSwappingSink swapping(proxy, &replacement);
    swapping.cookie = Advise(&swapping);
    int dropped = -1;
    EXPECT_EQ(0, proxy.Verify(&dropped));
    EXPECT_EQ(swapping.cookie, swapping.replacementCookie);  // the same slot
    EXPECT_EQ(0, dropped);
    EXPECT_EQ(2, replacement.refs());  // still connected
    proxy.FireText(0x70, L"after");
    EXPECT_EQ("112(bstr:\"after\")\n", replacement.Transcript());
    EXPECT_EQ(S_OK, proxy.Unadvise(swapping.replacementCookie));
}

// An instance as the host's are: it ends when its last reference goes, and its proxy with it (the
// proxy's storage is then overwritten, so that a proxy still at work afterwards finds no sinks).
class EndingInstance : public IConnectionPointContainer {
  public:
    EndingInstance() { m_proxy = new (m_storage) CProxy_IMeetingEvents(this, m_section); }
    CProxy_CommonEvents& proxy() { return *m_proxy; }
    bool ended() const { return m_ended; }
    STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override {
        if (--m_refs == 0) {
            m_proxy->~CProxy_IMeetingEvents();
            memset(m_storage, 0xDD, sizeof(m_storage));
            m_ended = true;
        }
        return m_refs;
    }
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    STDMETHODIMP FindConnectionPoint(REFIID, IConnectionPoint**) override { return E_NOTIMPL; }

  private:
    LONG m_refs = 1;
    bool m_ended = false;
    CTavoCriticalSection m_section;
    alignas(CProxy_IMeetingEvents) unsigned char m_storage[sizeof(CProxy_IMeetingEvents)];
    CProxy_IMeetingEvents* m_proxy;
};

// A plug-in that releases its last reference to the instance from inside its handler.
class ReleasingSink : public EventSink {
  public:
    explicit ReleasingSink(IUnknown* instance) : EventSink(DIID__IMeetingEvents), m_instance(instance) {}
    STDMETHODIMP Invoke(DISPID dispid, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* parameters,
                        VARIANT* result, EXCEPINFO* exception, UINT* error) override {
        EventSink::Invoke(dispid, iid, lcid, flags, parameters, result, exception, error);
        if (IUnknown* instance = std::exchange(m_instance, nullptr)) instance->Release();
        return S_OK;
    }

  private:
    IUnknown* m_instance;
};

TEST(ProxyInstance, AnInstanceReleasedInsideAHandlerLivesUntilEverySinkWasCalled) {
    for (const bool ping : {false, true}) {
        EndingInstance instance;
        ReleasingSink first(&instance);
        EventSink second(DIID__IMeetingEvents);
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, instance.proxy().Advise(&first, &cookie));
        ASSERT_EQ(S_OK, instance.proxy().Advise(&second, &cookie));
        if (ping) {
            EXPECT_EQ(2, instance.proxy().Verify());
        } else {
            instance.proxy().FireText(0x70, L"last");
        }
        EXPECT_EQ(1u, second.EventCount()) << "ping=" << ping;
        EXPECT_TRUE(instance.ended());
        EXPECT_EQ(1, second.refs());  // the ended proxy let the sinks go
    }
}

TEST_F(ProxyTest, AdviseUnadviseAndTheSnapshotOfConnections) {
    EventSink a(DIID__IMeetingEvents), b(DIID__IMeetingEvents), c(DIID__IMeetingEvents);
    EventSink wrongKind(DIID__IUpdateEvents);
    DWORD cookie = 99;
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, proxy.Advise(&wrongKind, &cookie));
    EXPECT_EQ(0u, cookie);
    EXPECT_EQ(E_POINTER, proxy.Advise(nullptr, &cookie));
    EXPECT_EQ(E_POINTER, proxy.Advise(&a, nullptr));

    const DWORD ca = Advise(&a), cb = Advise(&b);
    EXPECT_EQ(1u, ca);
    EXPECT_EQ(2u, cb);
    IEnumConnections* snapshot = nullptr;
    ASSERT_EQ(S_OK, proxy.EnumConnections(&snapshot));
    EXPECT_EQ(S_OK, proxy.Unadvise(ca));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, proxy.Unadvise(ca));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, proxy.Unadvise(0));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, proxy.Unadvise(77));
    EXPECT_EQ(2, a.refs());  // still held by the snapshot
    // A freed slot is used again.
    EXPECT_EQ(1u, Advise(&c));

    CONNECTDATA data[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, snapshot->Next(3, data, &fetched));
    ASSERT_EQ(2u, fetched);
    EXPECT_EQ(static_cast<IUnknown*>(&a), data[0].pUnk);
    EXPECT_EQ(ca, data[0].dwCookie);
    EXPECT_EQ(cb, data[1].dwCookie);
    for (ULONG i = 0; i < fetched; ++i) data[i].pUnk->Release();
    IEnumConnections* clone = nullptr;
    ASSERT_EQ(S_OK, snapshot->Clone(&clone));
    EXPECT_EQ(S_FALSE, clone->Skip(1));
    EXPECT_EQ(S_OK, clone->Reset());
    EXPECT_EQ(S_OK, clone->Skip(2));
    clone->Release();
    snapshot->Release();
    EXPECT_EQ(1, a.refs());

    IID events = {};
    EXPECT_EQ(S_OK, proxy.GetConnectionInterface(&events));
    EXPECT_TRUE(IsEqualIID(DIID__IMeetingEvents, events));
    IConnectionPointContainer* owner = nullptr;
    EXPECT_EQ(S_OK, proxy.GetConnectionPointContainer(&owner));
    EXPECT_EQ(&container, owner);
    owner->Release();
    EXPECT_EQ(1, container.refs);
    proxy.Unadvise(cb);
    proxy.Unadvise(1);
}

}  // namespace
