// The methods of Meeting, Setting, Update and Telemetry from a client process: what reaches the manager
// (operation, request, a null request as a null pointer) and what the client gets back, with a manager,
// without one, and across an unload and reload of the manager through the host's window.
#include <windows.h>
#include <objbase.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <cstdio>

#include <string>
#include <vector>

#include "event_sink.h"
#include "host_harness.h"
#include "registered_host.h"
#include "tavoservice.h"

using namespace tavo::test;
using tavo::ComPtr;
using tavo::ScopedBstr;

namespace {

// The manager's record from `from` on (the lines of the calls a test made).
std::string LogSince(const ManagerFiles& files, size_t from) { return files.ManagerLog().substr(from); }

struct Methods : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(server.ok()); }
    ManagerFiles files;
    RegisteredHost server;
};

TEST_F(Methods, WithoutAManagerEveryMethodAnswersItsNoManagerValue) {
    ASSERT_TRUE(files.Control("create null\n"));
    ComPtr<IMeeting> meeting = server.Create<IMeeting>(CLSID_Meeting);
    ComPtr<ISetting> setting = server.Create<ISetting>(CLSID_Setting);
    ComPtr<IUpdate> update = server.Create<IUpdate>(CLSID_Update);
    ASSERT_TRUE(meeting && setting && update);
    const size_t before = files.ManagerLog().size();

    ScopedBstr request(SysAllocString(L"<r/>"));
    std::vector<LONG> results;
    LONG lRet = 99, value = 99;
    ULONG cookie = 0;
    BSTR out = nullptr;
    VARIANT_BOOL flag = 99;
    // The result is read after the call (by reference).
    auto note = [&](HRESULT hr, const auto& result) {
        EXPECT_EQ(S_OK, hr);
        results.push_back(static_cast<LONG>(result));
    };
    note(meeting->StartOCMeeting(request.get(), &cookie, &lRet), lRet);
    note(meeting->JoinOCMeeting(request.get(), &cookie, &lRet), lRet);
    note(meeting->InviteToMeeting(request.get(), &cookie, &lRet), lRet);
    note(meeting->GetStartedMeeting(&out, &lRet), lRet);
    note(meeting->GetInviteUrl(request.get(), &out, &lRet), lRet);
    note(meeting->StartScheduledMeeting(request.get(), &cookie, &lRet), lRet);
    note(meeting->GeneralCall(request.get(), &out, &lRet), lRet);
    note(meeting->GetLastError(&value), value);
    note(meeting->CheckIfDisclaimerInProgress(&value, &lRet), lRet);
    note(meeting->CheckDisclaimerAndCloseCommunicationDlg(&lRet), lRet);
    note(meeting->CheckMeetingGoingStatus(&value, &lRet), lRet);
    EXPECT_EQ(std::vector<LONG>(11, -2), results);
    EXPECT_EQ(nullptr, out);

    results.clear();
    note(setting->OpenSettingDlg(request.get(), &cookie, &lRet), lRet);
    note(setting->CloseSettingDlg(&cookie, &lRet), lRet);
    note(setting->GetSetting(request.get(), &cookie, &lRet), lRet);
    note(setting->HasValidAccount(&flag), flag);
    note(setting->GetAccountInfo(&out, &lRet), lRet);
    note(setting->IsSettingDlgOpened(&flag), flag);
    note(setting->GetLastError(&value), value);
    note(setting->GeneralCall(request.get(), &out, &lRet), lRet);
    note(setting->Logout(&lRet), lRet);
    note(setting->ClearAccout(&lRet), lRet);
    note(setting->KillTavoProcess(&flag), flag);
    note(setting->StartOCProcess(&lRet), lRet);
    note(setting->CheckUpdateProcess(&flag), flag);
    EXPECT_EQ((std::vector<LONG>{-2, -2, -2, 0, -2, 0, -2, -2, -1, -1, 0, -1, 0}), results);
    EXPECT_EQ(nullptr, out);

    results.clear();
    note(update->Update(request.get(), &cookie, &lRet), lRet);
    note(update->CheckUpdate(request.get(), &flag), flag);
    note(update->GeneralCall(request.get(), &out, &lRet), lRet);
    note(update->GetLastError(&value), value);
    note(update->GetVersionInfo(request.get(), &out, &lRet), lRet);
    EXPECT_EQ((std::vector<LONG>{-2, 0, -2, -2, -2}), results);
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ("", LogSince(files, before));  // nothing reached a manager

    // Through IDispatch the out-parameters travel both ways: what the host leaves alone comes back as
    // the client passed it.
    ComPtr<IDispatch> dispatch;
    ASSERT_HRESULT_SUCCEEDED(meeting->QueryInterface(IID_IDispatch, dispatch.put_void()));
    ULONG preset = 5;
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(S_OK, InvokeWithCookie(dispatch.get(), 1, request.get(), &preset, &result));
    EXPECT_EQ("i4:-2", DescribeVariant(result));
    EXPECT_EQ(5u, preset);
}

TEST_F(Methods, MeetingForwardsEveryRequestAndCopiesTheAnswers) {
    ASSERT_TRUE(files.Control(
        "result StartOCMeeting 1\ncookie StartOCMeeting 101\nresult JoinOCMeeting 2\ncookie JoinOCMeeting "
        "102\n"
        "result InviteToMeeting 3\ncookie InviteToMeeting 103\nstring GetStartedMeeting \"<started/>\"\n"
        "result GetInviteUrl 4\nstring GetInviteUrl \"<not read/>\"\ncookie StartScheduledMeeting 106\n"
        "string ITavoMgr_Meeting.GeneralCall null\nresult ITavoMgr_Meeting.GetLastError 77\n"
        "result CheckIfDisclaimerInProgress true\nresult CheckDisclaimerAndCloseCommunicationDlg 9\n"
        "result CheckMeetingGoingStatus false\n"));
    ComPtr<IMeeting> meeting = server.Create<IMeeting>(CLSID_Meeting);
    ASSERT_TRUE(meeting);
    const size_t before = files.ManagerLog().size();
    ScopedBstr request(SysAllocString(L"<a b=\"1\"/>"));
    LONG lRet = 0, value = 0;
    ULONG cookie = 0;
    std::string got;
    auto cookieCall = [&](HRESULT hr) {
        got += std::to_string(hr) + " " + std::to_string(lRet) + " " + std::to_string(cookie) + "\n";
    };
    cookieCall(meeting->StartOCMeeting(request.get(), &cookie, &lRet));
    cookieCall(meeting->JoinOCMeeting(nullptr, &cookie, &lRet));
    cookieCall(meeting->InviteToMeeting(request.get(), &cookie, &lRet));
    cookieCall(meeting->StartScheduledMeeting(request.get(), &cookie, &lRet));
    BSTR started = nullptr, url = nullptr, general = nullptr;
    meeting->GetStartedMeeting(&started, &lRet);
    got += std::to_string(lRet) + " " + Text(started) + "\n";
    meeting->GetInviteUrl(request.get(), &url, &lRet);
    got += std::to_string(lRet) + " " + Text(url) + "\n";
    meeting->GeneralCall(request.get(), &general, &lRet);
    got += std::to_string(lRet) + " " + Text(general) + "\n";
    ScopedBstr owners[] = {ScopedBstr(started), ScopedBstr(url), ScopedBstr(general)};
    meeting->GetLastError(&value);
    got += std::to_string(value) + "\n";
    value = 7;
    meeting->CheckIfDisclaimerInProgress(&value, &lRet);
    got += std::to_string(value) + " " + std::to_string(lRet) + "\n";
    meeting->CheckDisclaimerAndCloseCommunicationDlg(&lRet);
    got += std::to_string(lRet) + "\n";
    value = 7;
    meeting->CheckMeetingGoingStatus(&value, &lRet);
    got += std::to_string(value) + " " + std::to_string(lRet) + "\n";

    EXPECT_EQ(
        "0 1 101\n0 2 102\n0 3 103\n0 0 106\n"
        "0 \"<started/>\"\n4 \"\"\n0 \"\"\n77\n1 0\n9\n0 0\n",
        got);
    EXPECT_EQ(
        "ITavoMgr_Meeting 0 StartOCMeeting request=\"<a b=\\\"1\\\"/>\" -> 1 cookie=101\n"
        "ITavoMgr_Meeting 1 JoinOCMeeting request=null -> 2 cookie=102\n"
        "ITavoMgr_Meeting 2 InviteToMeeting request=\"<a b=\\\"1\\\"/>\" -> 3 cookie=103\n"
        "ITavoMgr_Meeting 5 StartScheduledMeeting request=\"<a b=\\\"1\\\"/>\" -> 0 cookie=106\n"
        "ITavoMgr_Meeting 3 GetStartedMeeting -> 0 out=\"<started/>\"\n"
        "ITavoMgr_Meeting 4 GetInviteUrl request=\"<a b=\\\"1\\\"/>\" -> 4 out=\"<not read/>\"\n"
        "ITavoMgr_Meeting 7 GeneralCall request=\"<a b=\\\"1\\\"/>\" -> 0 out=null\n"
        "ITavoMgr_Meeting 6 GetLastError -> 77\n"
        "ITavoMgr_Meeting 8 CheckIfDisclaimerInProgress -> true\n"
        "ITavoMgr_Meeting 9 CheckDisclaimerAndCloseCommunicationDlg -> 9\n"
        "ITavoMgr_Meeting 10 CheckMeetingGoingStatus -> false\n",
        LogSince(files, before));
}

TEST_F(Methods, ARequestsCookieComesBackWithTheManagersLaterAnswer) {
    ASSERT_TRUE(files.Control("cookie StartOCMeeting 7\n"));
    ComPtr<IMeeting> meeting = server.Create<IMeeting>(CLSID_Meeting);
    ASSERT_TRUE(meeting);
    EventSink sink(DIID__IMeetingEvents);
    DWORD connection = 0;
    ASSERT_HRESULT_SUCCEEDED(
        RegisteredHost::Point(meeting.get(), DIID__IMeetingEvents)->Advise(&sink, &connection));
    ScopedBstr request(SysAllocString(L"<start/>"));
    ULONG cookie = 0;
    LONG lRet = -9;
    ASSERT_EQ(S_OK, meeting->StartOCMeeting(request.get(), &cookie, &lRet));
    EXPECT_EQ(0, lRet);
    ASSERT_EQ(7u, cookie);
    // Later the manager answers through the meeting sink with the cookie it handed out.
    ASSERT_TRUE(
        files.CommandAndWait("meeting OnGetMeetingData \"<meeting/>\" " + std::to_string(cookie) + "\n"));
    ASSERT_EQ(1u, sink.EventCount());
    EXPECT_EQ("32(bstr:\"<meeting/>\",i4:7)", sink.Events()[0]);
    RegisteredHost::Point(meeting.get(), DIID__IMeetingEvents)->Unadvise(connection);
}

TEST_F(Methods, SettingForwardsAndWritesFlagsAsOneOrZero) {
    ASSERT_TRUE(files.Control(
        "result OpenSettingDlg 1\ncookie OpenSettingDlg 201\nresult CloseSettingDlg 2\ncookie "
        "CloseSettingDlg 202\n"
        "cookie GetSetting 203\nresult HasValidAccount true\nresult IsSettingDlgOpened false\n"
        "result ITavoMgr.GetLastError 55\nresult ITavoMgr.GeneralCall 6\nstring ITavoMgr.GeneralCall "
        "\"<x/>\"\n"
        "result Logout 8\nresult ClearAccout 9\nresult KillTavoProcess true\nresult StartOCProcess 11\n"
        "result CheckUpdateProcess true\n"));
    ComPtr<ISetting> setting = server.Create<ISetting>(CLSID_Setting);
    ASSERT_TRUE(setting);
    const size_t before = files.ManagerLog().size();
    ScopedBstr request(SysAllocString(L"<s/>"));
    LONG lRet = 0, value = 0;
    ULONG cookie = 0;
    VARIANT_BOOL flag = 99;
    BSTR out = nullptr;
    std::string got;
    auto add = [&](long number) { got += std::to_string(number) + " "; };
    setting->OpenSettingDlg(request.get(), &cookie, &lRet), add(lRet), add(static_cast<long>(cookie));
    setting->CloseSettingDlg(&cookie, &lRet), add(lRet), add(static_cast<long>(cookie));
    setting->GetSetting(nullptr, &cookie, &lRet), add(lRet), add(static_cast<long>(cookie));
    setting->HasValidAccount(&flag), add(flag);
    setting->IsSettingDlgOpened(&flag), add(flag);
    setting->GetLastError(&value), add(value);
    setting->GeneralCall(request.get(), &out, &lRet), add(lRet);
    got += Text(out) + " ";
    SysFreeString(out);
    setting->Logout(&lRet), add(lRet);
    setting->ClearAccout(&lRet), add(lRet);
    setting->KillTavoProcess(&flag), add(flag);
    setting->StartOCProcess(&lRet), add(lRet);
    setting->CheckUpdateProcess(&flag), add(flag);
    EXPECT_EQ("1 201 2 202 0 203 1 0 55 6 \"\" 8 9 1 11 1 ", got);
    EXPECT_EQ(
        "ITavoMgr 0 OpenSettingDlg request=\"<s/>\" -> 1 cookie=201\n"
        "ITavoMgr 1 CloseSettingDlg -> 2 cookie=202\n"
        "ITavoMgr 2 GetSetting request=null -> 0 cookie=203\n"
        "ITavoMgr 3 HasValidAccount -> true\n"
        "ITavoMgr 5 IsSettingDlgOpened -> false\n"
        "ITavoMgr 6 GetLastError -> 55\n"
        "ITavoMgr 7 GeneralCall request=\"<s/>\" -> 6 out=\"<x/>\"\n"
        "ITavoMgr 8 Logout -> 8\n"
        "ITavoMgr 9 ClearAccout -> 9\n"
        "ITavoMgr 10 KillTavoProcess -> true\n"
        "ITavoMgr 11 StartOCProcess -> 11\n"
        "ITavoMgr 12 CheckUpdateProcess -> true\n",
        LogSince(files, before));

    // GetAccountInfo: text for result 0, a null string for result 0 without text, nothing otherwise.
    auto account = [&](const std::string& control) {
        EXPECT_TRUE(files.Control(control));
        BSTR text = nullptr;
        LONG result = 99;
        EXPECT_EQ(S_OK, setting->GetAccountInfo(&text, &result));
        std::string answer = std::to_string(result) + " " + Text(text);
        SysFreeString(text);
        return answer;
    };
    EXPECT_EQ("0 \"<account/>\"", account("string GetAccountInfo \"<account/>\"\n"));
    EXPECT_EQ("0 null", account("string GetAccountInfo null\n"));
    EXPECT_EQ("3 null", account("result GetAccountInfo 3\n"));
    EXPECT_TRUE(
        Contains(files.ManagerLog(),
                 "ITavoMgr 4 GetAccountInfo -> 0 out=null\nITavoMgr 4 GetAccountInfo -> 3 out=none\n"))
        << files.ManagerLog();
}

TEST_F(Methods, UpdateAndTelemetryForward) {
    ASSERT_TRUE(
        files.Control("result Update 2\ncookie Update 301\nresult CheckUpdate true\n"
                      "result ITavoMgr_Update.GetLastError 33\nstring GetVersionInfo \"1.2.3\"\n"
                      "string ITavoMgr_Update.GeneralCall \"<u/>\"\nmetrics-id 5\n"));
    ComPtr<IUpdate> update = server.Create<IUpdate>(CLSID_Update);
    ASSERT_TRUE(update);
    const size_t before = files.ManagerLog().size();
    ScopedBstr request(SysAllocString(L"<v/>"));
    LONG lRet = 0, value = 0;
    ULONG cookie = 0;
    VARIANT_BOOL flag = 99;
    BSTR version = nullptr, general = nullptr;
    EXPECT_EQ(S_OK, update->Update(request.get(), &cookie, &lRet));
    EXPECT_EQ(2, lRet);  // the manager's result, as for every request with a cookie
    EXPECT_EQ(301u, cookie);
    EXPECT_EQ(S_OK, update->CheckUpdate(nullptr, &flag));
    EXPECT_EQ(1, flag);
    EXPECT_EQ(S_OK, update->GetLastError(&value));
    EXPECT_EQ(33, value);
    EXPECT_EQ(S_OK, update->GetVersionInfo(request.get(), &version, &lRet));
    EXPECT_EQ(0, lRet);
    EXPECT_EQ("\"1.2.3\"", Text(version));
    EXPECT_EQ(S_OK, update->GeneralCall(request.get(), &general, &lRet));
    EXPECT_EQ("\"<u/>\"", Text(general));
    SysFreeString(version);
    SysFreeString(general);
    EXPECT_EQ(
        "ITavoMgr_Update 1 Update request=\"<v/>\" -> 2 cookie=301\n"
        "ITavoMgr_Update 0 CheckUpdate request=null -> true\n"
        "ITavoMgr_Update 2 GetLastError -> 33\n"
        "ITavoMgr_Update 3 GetVersionInfo request=\"<v/>\" -> 0 out=\"1.2.3\"\n"
        "ITavoMgr_Update 4 GeneralCall request=\"<v/>\" -> 0 out=\"<u/>\"\n",
        LogSince(files, before));

    {
        ComPtr<ITelemetry> telemetry = server.Create<ITelemetry>(CLSID_Telemetry);
        ASSERT_TRUE(telemetry);
        int id = 0;
        ScopedBstr name(SysAllocString(L"n")), metric(SysAllocString(L"m")), text(SysAllocString(L"t"));
        EXPECT_EQ(S_OK, telemetry->GetID(&id, name.get()));
        EXPECT_EQ(5, id);
        EXPECT_EQ(S_OK, telemetry->AddMetricStringValue(5, metric.get(), text.get()));
        EXPECT_EQ(S_OK, telemetry->AddMetricLongValue(5, metric.get(), -7));
        EXPECT_EQ(S_OK, telemetry->SendMetrics(5, 3));
        // Null strings reach the manager as empty texts.
        EXPECT_EQ(S_OK, telemetry->GetID(&id, nullptr));
        EXPECT_EQ(S_OK, telemetry->AddMetricStringValue(5, nullptr, nullptr));
        EXPECT_EQ(S_OK, telemetry->AddMetricLongValue(5, nullptr, 1));
    }
    EXPECT_TRUE(WaitFor([&] { return Contains(files.ManagerLog(), "UnInitTelemetry"); }, 10000));
    const std::string log = LogSince(files, before);
    EXPECT_TRUE(Contains(log, "InitTelemetry 20 -> 0\n")) << log;
    EXPECT_TRUE(Contains(log,
                         "GetMetricsID name=\"n\" -> 0 id=5\n"
                         "AddMetricValueString id=5 name=\"m\" value=\"t\" -> 0\n"
                         "AddMetricValueLong id=5 name=\"m\" value=-7 -> 0\n"
                         "SendMetrics id=5 metric=3 -> 0\n"
                         "GetMetricsID name=\"\" -> 0 id=5\n"
                         "AddMetricValueString id=5 name=\"\" value=\"\" -> 0\n"
                         "AddMetricValueLong id=5 name=\"\" value=1 -> 0\n"))
        << log;
    EXPECT_TRUE(Contains(log, "ITavoMgr 14 UnregisterObjVerify verifier#"));
    EXPECT_TRUE(Contains(log, "UnInitTelemetry -> 0\n"));
}

TEST_F(Methods, AManagerUnloadedAndLoadedAgainMidSessionGetsTheSinksAndVerifiersAnew) {
    ComPtr<IMeeting> meeting = server.Create<IMeeting>(CLSID_Meeting);
    ComPtr<ITelemetry> telemetry = server.Create<ITelemetry>(CLSID_Telemetry);
    ASSERT_TRUE(meeting && telemetry);
    EventSink sink(DIID__IMeetingEvents);
    DWORD cookie = 0;
    ASSERT_HRESULT_SUCCEEDED(
        RegisteredHost::Point(meeting.get(), DIID__IMeetingEvents)->Advise(&sink, &cookie));
    HWND window = WaitForHelpWindow(server.process().pid(), 10000);
    ASSERT_NE(nullptr, window);
    ScopedBstr request(SysAllocString(L"<m/>"));
    LONG lRet = 0;
    ULONG requestCookie = 0;

    DWORD_PTR answer = 1;
    ASSERT_TRUE(SendMessageTimeoutW(window, 1435, 0, 0, SMTO_ABORTIFHUNG, 30000, &answer));
    EXPECT_EQ(0u, answer);
    // Unloaded: the methods answer as without a manager; Telemetry keeps the library and works on.
    EXPECT_EQ(S_OK, meeting->StartOCMeeting(request.get(), &requestCookie, &lRet));
    EXPECT_EQ(-2, lRet);
    int id = 0;
    EXPECT_EQ(S_OK, telemetry->GetID(&id, nullptr));
    EXPECT_EQ(1, id);
    EXPECT_FALSE(Contains(files.ManagerLog(), "detach unload"));
    const size_t before = files.ManagerLog().size();

    ASSERT_TRUE(SendMessageTimeoutW(window, 1436, 0, 0, SMTO_ABORTIFHUNG, 30000, &answer));
    EXPECT_EQ(0u, answer);
    const std::string reload = LogSince(files, before);
    EXPECT_TRUE(Contains(reload, "CreateTavoMgr 0 -> object#2\nITavoMgr 16 SetMeetingSink sink#1\n"))
        << reload;
    EXPECT_EQ(2u, Count(reload, "ITavoMgr 13 RegisterObjVerify verifier#"));  // Meeting's and Telemetry's
    EXPECT_EQ(S_OK, meeting->StartOCMeeting(request.get(), &requestCookie, &lRet));
    EXPECT_EQ(0, lRet);
    ASSERT_TRUE(files.CommandAndWait("meeting 5 \"back\" 8\n"));
    EXPECT_EQ(1u, sink.EventCount());
    RegisteredHost::Point(meeting.get(), DIID__IMeetingEvents)->Unadvise(cookie);
}

TEST_F(Methods, TelemetryWithoutTheLibraryAnswersOkAndWritesNothing) {
    ComPtr<IMeeting> meeting = server.Create<IMeeting>(CLSID_Meeting);
    ASSERT_TRUE(meeting);
    HWND window = WaitForHelpWindow(server.process().pid(), 10000);
    ASSERT_NE(nullptr, window);
    DWORD_PTR answer = 1;
    ASSERT_TRUE(SendMessageTimeoutW(window, 1435, 0, 0, SMTO_ABORTIFHUNG, 30000, &answer));
    ASSERT_EQ(0u, answer);  // the manager released and its library freed: the file can be moved away
    const std::wstring library = server.install().folder() + L"\\tavoMgr.dll";
    const std::wstring aside = library + L".aside";
    ASSERT_TRUE(MoveFileW(library.c_str(), aside.c_str()));
    const size_t before = files.ManagerLog().size();
    {
        ComPtr<ITelemetry> telemetry = server.Create<ITelemetry>(CLSID_Telemetry);
        ASSERT_TRUE(telemetry);
        ComPtr<IDispatch> dispatch;
        ASSERT_HRESULT_SUCCEEDED(telemetry->QueryInterface(IID_IDispatch, dispatch.put_void()));
        // GetID(out nId, name) by DISPID: the by-reference nId travels both ways. (As VT_I4: Wine's
        // type-info Invoke answers DISP_E_TYPEMISMATCH for a by-reference VT_INT.)
        LONG id = 5;
        ScopedBstr name(SysAllocString(L"n"));
        VARIANTARG arguments[2];
        VariantInit(&arguments[0]);
        arguments[0].vt = VT_BSTR;
        arguments[0].bstrVal = name.get();
        VariantInit(&arguments[1]);
        arguments[1].vt = VT_BYREF | VT_I4;
        arguments[1].plVal = &id;
        DISPPARAMS parameters = {arguments, nullptr, 2, 0};
        EXPECT_EQ(S_OK, dispatch->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters,
                                         nullptr, nullptr, nullptr));
        EXPECT_EQ(5, id);
        EXPECT_EQ(S_OK, telemetry->SendMetrics(5, 1));
        EXPECT_EQ(S_OK, telemetry->AddMetricLongValue(5, name.get(), 1));
    }
    EXPECT_TRUE(MoveFileW(aside.c_str(), library.c_str()));
    EXPECT_EQ("", LogSince(files, before));
}

TEST_F(Methods, ManyStringAnswersArriveWholeAndTheHostDoesNotGrow) {
    // Answers of 300 000 characters: blocks that large come straight from the system, so a buffer or
    // copy the host failed to free shows in its memory counters.
    constexpr size_t kLength = 300000;
    ASSERT_TRUE(files.Control("string ITavoMgr_Meeting.GeneralCall \"" + std::string(kLength, 'p') + "\"\n"));
    ComPtr<IMeeting> meeting = server.Create<IMeeting>(CLSID_Meeting);
    ASSERT_TRUE(meeting);
    tavo::ScopedHandle host(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, server.process().pid()));
    ASSERT_TRUE(host.valid());
    auto committed = [&] {
        PROCESS_MEMORY_COUNTERS_EX counters = {};
        counters.cb = sizeof(counters);
        GetProcessMemoryInfo(host.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof(counters));
        return counters.PagefileUsage;
    };
    ScopedBstr request(SysAllocString(L"<g/>"));
    auto calls = [&](int count) {
        int whole = 0;
        for (int i = 0; i < count; ++i) {
            BSTR out = nullptr;
            LONG lRet = -9;
            meeting->GeneralCall(request.get(), &out, &lRet);
            if (lRet == 0 && out && SysStringLen(out) == kLength && out[0] == L'p' &&
                out[kLength - 1] == L'p')
                ++whole;
            SysFreeString(out);
        }
        return whole;
    };
    EXPECT_EQ(10, calls(10));  // warm-up: heaps and caches settle
    const SIZE_T start = committed();
    EXPECT_EQ(100, calls(100));
    const SIZE_T grown = committed() > start ? committed() - start : 0;
    std::printf("committed memory of the host: %lu KB before, grown by %lu KB\n",
                static_cast<unsigned long>(start / 1024), static_cast<unsigned long>(grown / 1024));
    // Had the manager's buffers stayed, 100 answers of 600 KB would have taken about 60 MB.
    EXPECT_LT(grown, 16u * 1024u * 1024u);
}

}  // namespace
