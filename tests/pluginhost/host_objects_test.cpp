// The host's COM surface seen from a client process (this test program): the classes, their interfaces,
// IDispatch from the type library, the connection points, the events the manager's sinks fire, the
// liveness ping, the binding of the instances to the manager, and the server's end once the last object
// is gone.
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include <cstdio>

#include <memory>
#include <string>
#include <vector>

#include "event_sink.h"
#include "host_harness.h"
#include "registered_host.h"
#include "support/scoped.h"
#include "tavoservice.h"

using namespace tavo::test;
using tavo::ComPtr;

namespace {

// A host registered in a folder of its own, with the manager test library beside it; started by COM
// with the first object a test creates, and ended by the test.
class HostObjects : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server.ok()); }

    template <class I>
    ComPtr<I> Create(const CLSID& clsid) {
        return server.Create<I>(clsid);
    }
    static ComPtr<IConnectionPoint> Point(IUnknown* object, const IID& events) {
        return RegisteredHost::Point(object, events);
    }

    ManagerFiles files;
    RegisteredHost server;
    HostProcess& host = server.process();
};

TEST(HostObjectsOnWine, WithoutLocaleZeroTheUniversalMarshalerCannotFindTheTypeLibrary) {
    // What Wine does with the registration as Windows reads it: the dual interface cannot be marshaled
    // through its vtable, IDispatch can.
    ManagerFiles files;
    HostInstall install;
    ASSERT_TRUE(install.Add(L"fixtures\\manager\\full\\tavoMgr.dll", L"tavoMgr.dll"));
    ASSERT_EQ(0u, RunHostToEnd(install.exe(), L"/RegServer"));
    ASSERT_HRESULT_SUCCEEDED(CoInitialize(nullptr));
    HostProcess host;
    {
        ComPtr<IMeeting> meeting;
        const HRESULT hr =
            CoCreateInstance(CLSID_Meeting, nullptr, CLSCTX_LOCAL_SERVER, IID_IMeeting, meeting.put_void());
        std::printf("IMeeting without the locale-0 alias: 0x%08lX\n", static_cast<unsigned long>(hr));
        EXPECT_EQ(E_FAIL, hr);
        ComPtr<IDispatch> dispatch;
        EXPECT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_Meeting, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                                  dispatch.put_void()));
        ASSERT_TRUE(host.Adopt(install.exe(), 10000));
    }
    CoUninitialize();
    if (HWND window = WaitForHelpWindow(host.pid(), 5000)) PostMessageW(window, 1434, 0, 0);
    EXPECT_TRUE(host.WaitExit(30000));
    EXPECT_EQ(0u, RunHostToEnd(install.exe(), L"/UnregServer"));
}

TEST_F(HostObjects, EveryClientGetsTheOneInstanceAndItsInterfaces) {
    ComPtr<IMeeting> first = Create<IMeeting>(CLSID_Meeting);
    ASSERT_TRUE(first);
    ComPtr<IMeeting> second = Create<IMeeting>(CLSID_Meeting);
    ASSERT_TRUE(second);
    // One instance: both proxies lead to the same object identity.
    ComPtr<IUnknown> identity1, identity2;
    first->QueryInterface(IID_IUnknown, identity1.put_void());
    second->QueryInterface(IID_IUnknown, identity2.put_void());
    EXPECT_EQ(identity1.get(), identity2.get());
    // Created by ProgID as a plug-in does.
    CLSID byProgId = {};
    ASSERT_HRESULT_SUCCEEDED(CLSIDFromProgID(L"TavoPluginHost.Meeting", &byProgId));
    EXPECT_TRUE(IsEqualCLSID(byProgId, CLSID_Meeting));

    struct Expected {
        const IID* iid;
        HRESULT hr;
    };
    const Expected answers[] = {{&IID_IDispatch, S_OK},
                                {&IID_IMeeting, S_OK},
                                {&IID_ISupportErrorInfo, S_OK},
                                {&IID_IConnectionPointContainer, S_OK},
                                {&IID_ISetting, E_NOINTERFACE},
                                {&IID_IConnectionPoint, E_NOINTERFACE},
                                {&IID_IProvideClassInfo, E_NOINTERFACE},
                                {&IID_IPersist, E_NOINTERFACE}};
    for (const Expected& answer : answers) {
        ComPtr<IUnknown> any;
        EXPECT_EQ(answer.hr, first->QueryInterface(*answer.iid, any.put_void()));
    }
    ComPtr<ISupportErrorInfo> errorInfo;
    ASSERT_HRESULT_SUCCEEDED(first->QueryInterface(IID_ISupportErrorInfo, errorInfo.put_void()));
    EXPECT_EQ(S_OK, errorInfo->InterfaceSupportsErrorInfo(IID_IMeeting));
    EXPECT_EQ(S_FALSE, errorInfo->InterfaceSupportsErrorInfo(IID_IDispatch));
    EXPECT_EQ(S_FALSE, errorInfo->InterfaceSupportsErrorInfo(IID_ISetting));

    // The other classes answer for their own dual interface.
    ComPtr<ISetting> setting = Create<ISetting>(CLSID_Setting);
    ComPtr<IUpdate> update = Create<IUpdate>(CLSID_Update);
    ComPtr<ITelemetry> telemetry = Create<ITelemetry>(CLSID_Telemetry);
    ASSERT_TRUE(setting && update && telemetry);
    ComPtr<IUnknown> any;
    EXPECT_EQ(E_NOINTERFACE, telemetry->QueryInterface(IID_IMeeting, any.put_void()));
    ComPtr<ISupportErrorInfo> telemetryErrors;
    ASSERT_HRESULT_SUCCEEDED(telemetry->QueryInterface(IID_ISupportErrorInfo, telemetryErrors.put_void()));
    EXPECT_EQ(S_OK, telemetryErrors->InterfaceSupportsErrorInfo(IID_ITelemetry));
}

TEST_F(HostObjects, DispatchServesTheTypeLibraryMembersWithTheirOutParameters) {
    files.Control(
        "result StartOCMeeting 5\ncookie StartOCMeeting 42\nstring ITavoMgr_Meeting.GeneralCall "
        "\"<out/>\"\n");
    ComPtr<IDispatch> meeting = Create<IDispatch>(CLSID_Meeting);
    ASSERT_TRUE(meeting);

    UINT count = 0;
    EXPECT_HRESULT_SUCCEEDED(meeting->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    const wchar_t* names[] = {L"StartOCMeeting", L"GeneralCall", L"CheckMeetingGoingStatus"};
    const DISPID expectedIds[] = {1, 7, 11};
    for (size_t i = 0; i < 3; ++i) {
        LPOLESTR name = const_cast<LPOLESTR>(names[i]);
        DISPID id = -1;
        EXPECT_HRESULT_SUCCEEDED(meeting->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id));
        EXPECT_EQ(expectedIds[i], id);
    }
    LPOLESTR unknown = const_cast<LPOLESTR>(L"NoSuchMethod");
    DISPID id = 0;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, meeting->GetIDsOfNames(IID_NULL, &unknown, 1, LOCALE_USER_DEFAULT, &id));

    // StartOCMeeting(request, out cookie) with lRet as the result.
    tavo::ScopedBstr request(SysAllocString(L"<start/>"));
    ULONG cookie = 9;
    VARIANT result;
    VariantInit(&result);
    ASSERT_HRESULT_SUCCEEDED(InvokeWithCookie(meeting.get(), 1, request.get(), &cookie, &result));
    EXPECT_EQ("i4:5", DescribeVariant(result));
    EXPECT_EQ(42u, cookie);
    EXPECT_TRUE(Contains(files.ManagerLog(),
                         "ITavoMgr_Meeting 0 StartOCMeeting request=\"<start/>\" -> 5 cookie=42\n"))
        << files.ManagerLog();

    // GeneralCall(request, out string).
    BSTR out = nullptr;
    VARIANTARG arguments[2];
    VariantInit(&arguments[0]);
    arguments[0].vt = VT_BYREF | VT_BSTR;
    arguments[0].pbstrVal = &out;
    VariantInit(&arguments[1]);
    arguments[1].vt = VT_BSTR;
    arguments[1].bstrVal = request.get();
    DISPPARAMS parameters = {arguments, nullptr, 2, 0};
    ASSERT_HRESULT_SUCCEEDED(meeting->Invoke(7, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters,
                                             &result, nullptr, nullptr));
    tavo::ScopedBstr outOwner(out);
    EXPECT_EQ("i4:0", DescribeVariant(result));
    ASSERT_NE(nullptr, out);
    EXPECT_STREQ(L"<out/>", out);

    // The wrong interface id, and a member that does not exist.
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE, meeting->Invoke(1, IID_IMeeting, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                                       &parameters, &result, nullptr, nullptr));
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, meeting->Invoke(77, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                                     &none, &result, nullptr, nullptr));
}

TEST_F(HostObjects, ConnectionPointsAdviseUnadviseAndEnumerate) {
    ComPtr<IMeeting> meeting = Create<IMeeting>(CLSID_Meeting);
    ASSERT_TRUE(meeting);
    ComPtr<IConnectionPointContainer> container;
    ASSERT_HRESULT_SUCCEEDED(meeting->QueryInterface(IID_IConnectionPointContainer, container.put_void()));
    ComPtr<IConnectionPoint> wrong;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(DIID__ISettingEvents, wrong.put()));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(IID_IDispatch, wrong.put()));

    ComPtr<IEnumConnectionPoints> points;
    ASSERT_HRESULT_SUCCEEDED(container->EnumConnectionPoints(points.put()));
    IConnectionPoint* listed[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, points->Next(2, listed, &fetched));
    ASSERT_EQ(1u, fetched);
    IID listedIid = {};
    EXPECT_HRESULT_SUCCEEDED(listed[0]->GetConnectionInterface(&listedIid));
    EXPECT_TRUE(IsEqualIID(DIID__IMeetingEvents, listedIid));
    listed[0]->Release();

    ComPtr<IConnectionPoint> point = Point(meeting.get(), DIID__IMeetingEvents);
    ASSERT_TRUE(point);
    ComPtr<IConnectionPointContainer> back;
    EXPECT_HRESULT_SUCCEEDED(point->GetConnectionPointContainer(back.put()));
    EventSink first(DIID__IMeetingEvents), second(DIID__IMeetingEvents), unrelated(DIID__IUpdateEvents);
    DWORD cookie1 = 0, cookie2 = 0, cookie3 = 77;
    EXPECT_EQ(S_OK, point->Advise(&first, &cookie1));
    EXPECT_EQ(S_OK, point->Advise(&second, &cookie2));
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, point->Advise(&unrelated, &cookie3));
    EXPECT_EQ(0u, cookie3);
    EXPECT_NE(cookie1, cookie2);

    // The snapshot itself is checked in process (event proxy test): Wine's proxy of IEnumConnections::Next
    // answers without filling in the connections or their count.
    ComPtr<IEnumConnections> connections;
    EXPECT_HRESULT_SUCCEEDED(point->EnumConnections(connections.put()));

    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(cookie2 + 100));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(0));
    EXPECT_EQ(S_OK, point->Unadvise(cookie1));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(cookie1));
    EXPECT_EQ(S_OK, point->Unadvise(cookie2));

    // Telemetry accepts connections for its event dispinterface, although it fires nothing.
    ComPtr<ITelemetry> telemetry = Create<ITelemetry>(CLSID_Telemetry);
    ASSERT_TRUE(telemetry);
    ComPtr<IConnectionPoint> telemetryPoint = Point(telemetry.get(), DIID__ITelemetryEvents);
    ASSERT_TRUE(telemetryPoint);
    EventSink telemetrySink(DIID__ITelemetryEvents);
    DWORD telemetryCookie = 0;
    EXPECT_EQ(S_OK, telemetryPoint->Advise(&telemetrySink, &telemetryCookie));
    EXPECT_EQ(S_OK, telemetryPoint->Unadvise(telemetryCookie));
}

TEST_F(HostObjects, EverySinkSlotFiresItsEventWithTheWireDispid) {
    ComPtr<IMeeting> meeting = Create<IMeeting>(CLSID_Meeting);
    ComPtr<ISetting> setting = Create<ISetting>(CLSID_Setting);
    ComPtr<IUpdate> update = Create<IUpdate>(CLSID_Update);
    ASSERT_TRUE(meeting && setting && update);

    // No client advised yet: the sink calls return and nothing is sent.
    ASSERT_TRUE(files.CommandAndWait("meeting 5 \"nobody\" 1\n"));
    EXPECT_TRUE(Contains(files.ManagerLog(),
                         "ITavoSink_Meeting 5 OnGetMeetingData sink#1 text=\"nobody\" cookie=1\n"));

    EventSink meetingSink(DIID__IMeetingEvents), settingSink(DIID__ISettingEvents),
        updateSink(DIID__IUpdateEvents);
    DWORD cookies[3] = {};
    ASSERT_HRESULT_SUCCEEDED(Point(meeting.get(), DIID__IMeetingEvents)->Advise(&meetingSink, &cookies[0]));
    ASSERT_HRESULT_SUCCEEDED(Point(setting.get(), DIID__ISettingEvents)->Advise(&settingSink, &cookies[1]));
    ASSERT_HRESULT_SUCCEEDED(Point(update.get(), DIID__IUpdateEvents)->Advise(&updateSink, &cookies[2]));

    ASSERT_TRUE(files.CommandAndWait(
        "meeting 0 \"changed\"\nmeeting 1 \"searched\" 11\nmeeting 2 \"invite\" 12\nmeeting 3 \"scheduled\" "
        "13\n"
        "meeting 4 \"rejected\"\nmeeting 5 \"data\" 15\nmeeting 6 \"general\"\nmeeting 7 \"error\" 17\n"
        "meeting 0 null\nmeeting 5 null 4294967295\n"
        "setting 0 \"got\" 20\nsetting 1 21\nsetting 2 \"error\" 22\nsetting 3 \"modify\" 23\n"
        "setting 4 \"general\"\nsetting 5 \"open\" 25\n"
        "update 0 30\nupdate 1 \"general\"\nupdate 2 \"error\" 32\nupdate 1 \"\"\n"));
    // A null text is fired as a null string (the event proxy's own test shows it); Wine's marshaling of
    // a VARIANT hands a null BSTR to the other process as an empty one.
    EXPECT_EQ(
        "96(bstr:\"changed\")\n48(bstr:\"searched\",i4:11)\n80(bstr:\"invite\",i4:12)\n"
        "64(bstr:\"scheduled\",i4:13)\n128(bstr:\"rejected\")\n32(bstr:\"data\",i4:15)\n"
        "112(bstr:\"general\")\n16(bstr:\"error\",i4:17)\n96(bstr:\"\")\n32(bstr:\"\",i4:-1)\n",
        meetingSink.Transcript());
    EXPECT_EQ(
        "2(bstr:\"got\",i4:20)\n3(i4:21)\n5(bstr:\"error\",i4:22)\n4(bstr:\"modify\",i4:23)\n"
        "6(bstr:\"general\")\n1(bstr:\"open\",i4:25)\n",
        settingSink.Transcript());
    EXPECT_EQ("512(i4:30)\n768(bstr:\"general\")\n256(bstr:\"error\",i4:32)\n768(bstr:\"\")\n",
              updateSink.Transcript());

    // Unadvised: the next events go nowhere.
    ASSERT_HRESULT_SUCCEEDED(Point(meeting.get(), DIID__IMeetingEvents)->Unadvise(cookies[0]));
    ASSERT_TRUE(files.CommandAndWait("meeting 6 \"late\"\n"));
    EXPECT_EQ(10u, meetingSink.EventCount());
    Point(setting.get(), DIID__ISettingEvents)->Unadvise(cookies[1]);
    Point(update.get(), DIID__IUpdateEvents)->Unadvise(cookies[2]);
}

TEST_F(HostObjects, VerifyCountsLiveSinksAndThoseThatDoNotKnowThePing) {
    ComPtr<IMeeting> meeting = Create<IMeeting>(CLSID_Meeting);
    ASSERT_TRUE(meeting);
    ComPtr<IConnectionPoint> point = Point(meeting.get(), DIID__IMeetingEvents);
    EventSink answering(DIID__IMeetingEvents), unaware(DIID__IMeetingEvents);
    unaware.AnswerPing(DISP_E_MEMBERNOTFOUND);
    DWORD cookie1 = 0, cookie2 = 0;
    ASSERT_HRESULT_SUCCEEDED(point->Advise(&answering, &cookie1));
    ASSERT_HRESULT_SUCCEEDED(point->Advise(&unaware, &cookie2));
    ASSERT_TRUE(files.CommandAndWait("verify all\n"));
    EXPECT_TRUE(Contains(files.ManagerLog(), "ITavoObjVerify 0 Verify verifier#1 -> 2\n"))
        << files.ManagerLog();
    EXPECT_EQ("0()\n", answering.Transcript());
    EXPECT_EQ("0()\n", unaware.Transcript());
    point->Unadvise(cookie1);
    point->Unadvise(cookie2);
}

TEST_F(HostObjects, AnInstanceHandsItsSinkAndVerifierToTheManagerAndTakesThemBackAtItsEnd) {
    {
        ComPtr<IMeeting> meeting = Create<IMeeting>(CLSID_Meeting);
        ASSERT_TRUE(meeting);
        EXPECT_TRUE(WaitFor(
            [&] { return Contains(files.ManagerLog(), "ITavoMgr 13 RegisterObjVerify verifier#1\n"); }, 5000))
            << files.ManagerLog();
        EXPECT_TRUE(
            Contains(files.ManagerLog(),
                     "ITavoMgr 16 SetMeetingSink sink#1\nITavoMgr 13 RegisterObjVerify verifier#1\n"));
    }
    // Released: the verifier is unregistered and the sink dropped before it is deleted.
    EXPECT_TRUE(
        WaitFor([&] { return Contains(files.ManagerLog(), "ITavoMgr 16 SetMeetingSink null\n"); }, 10000));
    EXPECT_TRUE(Contains(files.ManagerLog(),
                         "ITavoMgr 14 UnregisterObjVerify verifier#1\nITavoMgr 16 SetMeetingSink null\n"))
        << files.ManagerLog();
    // A new instance brings a new sink, and events reach its clients.
    ComPtr<IMeeting> again = Create<IMeeting>(CLSID_Meeting);
    ASSERT_TRUE(again);
    EXPECT_TRUE(WaitFor([&] { return Count(files.ManagerLog(), "SetMeetingSink sink#") == 2; }, 5000))
        << files.ManagerLog();
    EventSink sink(DIID__IMeetingEvents);
    DWORD cookie = 0;
    ComPtr<IConnectionPoint> point = Point(again.get(), DIID__IMeetingEvents);
    ASSERT_HRESULT_SUCCEEDED(point->Advise(&sink, &cookie));
    ASSERT_TRUE(files.CommandAndWait("meeting 6 \"again\"\n"));
    EXPECT_EQ("112(bstr:\"again\")\n", sink.Transcript());
    point->Unadvise(cookie);
}

TEST_F(HostObjects, TheServerEndsAboutSixSecondsAfterItsLastObjectIsReleased) {
    {
        ComPtr<IMeeting> meeting = Create<IMeeting>(CLSID_Meeting);
        ComPtr<ITelemetry> telemetry = Create<ITelemetry>(CLSID_Telemetry);
        ASSERT_TRUE(meeting && telemetry);
        EXPECT_FALSE(host.WaitExit(7000));  // objects alive: the server stays
    }
    const DWORD released = GetTickCount();
    ASSERT_TRUE(host.WaitExit(30000));
    EXPECT_GE(GetTickCount() - released, 4000u);
    EXPECT_EQ(0u, host.exitCode());
    EXPECT_TRUE(Contains(files.ManagerLog(), "ITavoMgr 19 Destroy\n"));
}

TEST_F(HostObjects, AClientThatComesWhileAManagerWindowHoldsTheIdleServerKeepsIt) {
    ComPtr<IMeeting> first = Create<IMeeting>(CLSID_Meeting);
    ASSERT_TRUE(first);
    ASSERT_TRUE(files.CommandAndWait("window show\n"));
    first.reset();
    // Idle for longer than the idle time, held only by the window; a client comes meanwhile.
    EXPECT_FALSE(host.WaitExit(7000));
    ComPtr<IMeeting> meeting = Create<IMeeting>(CLSID_Meeting);
    ASSERT_TRUE(meeting);
    ASSERT_TRUE(files.CommandAndWait("window hide\n"));
    EXPECT_FALSE(host.WaitExit(4000));
    LONG error = 0;
    EXPECT_EQ(S_OK, meeting->GetLastError(&error));
    EXPECT_EQ(0, error);  // answered by the manager, not "no manager"
    meeting.reset();
    ASSERT_TRUE(host.WaitExit(30000));
    EXPECT_EQ(0u, host.exitCode());
}

}  // namespace
