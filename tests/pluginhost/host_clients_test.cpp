// Several plug-ins at once, as separate client processes (the plug-in test client and this test
// program): they share each class's one instance, also after an earlier instance ended, and all receive
// its events; the sinks of a client that was killed are dropped by the manager's liveness ping while the
// live clients keep their instance; the manager is not unloaded while one of its calls waits.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <string>

#include "event_sink.h"
#include "host_harness.h"
#include "registered_host.h"
#include "tavoservice.h"

using namespace tavo::test;
using tavo::ComPtr;

namespace {

// A run of the plug-in test client with a script; ended by the test when still running at the end.
class PluginClient {
  public:
    // In the script, <ready> and <go> stand for two signal files of this run: the client touches
    // <ready> to say it got there (WaitReady), and waits for <go> (Go).
    explicit PluginClient(std::string script) {
        Substitute(script, "<ready>", Narrow(m_ready));
        Substitute(script, "<go>", Narrow(m_go));
        WriteTextFile(m_script, script);
        EXPECT_TRUE(m_process.Start(BinPath(L"fixtures\\plugin_client\\tavoplugin_client.exe"),
                                    L"\"" + m_script + L"\" \"" + m_record + L"\""));
    }
    std::string Record() const { return ReadFileBytes(m_record); }
    bool WaitReady() {
        return WaitFor([&] { return FileExists(m_ready); }, 30000);
    }
    bool Go() { return WriteTextFile(m_go, ""); }
    bool WaitForRecord(const std::string& part, DWORD timeoutMs = 30000) {
        return WaitFor([&] { return Contains(Record(), part); }, timeoutMs);
    }
    HostProcess& process() { return m_process; }

  private:
    static void Substitute(std::string& text, const std::string& mark, const std::string& by) {
        for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + by.size()))
            text.replace(at, mark.size(), by);
    }

    TempFolder m_folder{L"tavo-plugin"};
    std::wstring m_script = m_folder / L"script.txt";
    std::wstring m_record = m_folder / L"record.txt";
    std::wstring m_ready = m_folder / L"ready";
    std::wstring m_go = m_folder / L"go";
    HostProcess m_process;
};

// The running object table's entries for the class: the host registers its live instance under the
// class's item moniker ("!" and the CLSID), as RegisterActiveObject does.
size_t ActiveEntriesOf(const CLSID& clsid) {
    wchar_t text[64] = {};
    StringFromGUID2(clsid, text, 64);
    ComPtr<IMoniker> wanted;
    ComPtr<IRunningObjectTable> table;
    ComPtr<IEnumMoniker> entries;
    if (FAILED(CreateItemMoniker(L"!", text, wanted.put())) ||
        FAILED(GetRunningObjectTable(0, table.put())) || FAILED(table->EnumRunning(entries.put())))
        return 99;
    size_t count = 0;
    for (ComPtr<IMoniker> entry; entries->Next(1, entry.put(), nullptr) == S_OK;) {
        if (entry->IsEqual(wanted.get()) == S_OK) ++count;
    }
    return count;
}

TEST(HostClients, TwoClientsShareTheInstanceAndBothReceiveEveryEvent) {
    ManagerFiles files;
    RegisteredHost server;
    ASSERT_TRUE(server.ok());
    ComPtr<IMeeting> meeting = server.Create<IMeeting>(CLSID_Meeting);
    ASSERT_TRUE(meeting);
    EventSink sink(DIID__IMeetingEvents);
    DWORD cookie = 0;
    ASSERT_HRESULT_SUCCEEDED(
        RegisteredHost::Point(meeting.get(), DIID__IMeetingEvents)->Advise(&sink, &cookie));

    PluginClient client("create Meeting progid\nadvise\ntouch <ready>\nwait-file <go> 60000\nexit 0\n");
    ASSERT_TRUE(client.WaitReady()) << client.Record();
    EXPECT_TRUE(Contains(client.Record(), "create Meeting -> 0x00000000\n"));

    // One instance: its verifier pings both sinks.
    ASSERT_TRUE(files.CommandAndWait("verify all\nmeeting 5 \"data\" 15\nmeeting 6 \"general\"\n"));
    EXPECT_TRUE(Contains(files.ManagerLog(), "ITavoObjVerify 0 Verify verifier#1 -> 2\n"))
        << files.ManagerLog();
    EXPECT_EQ(3u, sink.EventCount());
    EXPECT_TRUE(client.WaitForRecord("event Meeting/1 112 bstr:\"general\"\n")) << client.Record();
    EXPECT_TRUE(Contains(client.Record(), "event Meeting/1 0\nevent Meeting/1 32 bstr:\"data\" i4:15\n"));

    ASSERT_TRUE(client.Go());
    ASSERT_TRUE(client.process().WaitExit(30000));
    EXPECT_EQ(0u, client.process().exitCode());
    RegisteredHost::Point(meeting.get(), DIID__IMeetingEvents)->Unadvise(cookie);
}

TEST(HostClients, AKilledClientsSinkIsDroppedByTheNextPingAndNoLongerCounted) {
    ManagerFiles files;
    RegisteredHost server;
    ASSERT_TRUE(server.ok());
    PluginClient client("create Meeting clsid\nadvise\ntouch <ready>\nhang\n");
    ASSERT_TRUE(client.WaitReady()) << client.Record();
    server.Adopt();

    ComPtr<IMeeting> meeting = server.Create<IMeeting>(CLSID_Meeting);
    EventSink sink(DIID__IMeetingEvents);
    DWORD cookie = 0;
    ASSERT_HRESULT_SUCCEEDED(
        RegisteredHost::Point(meeting.get(), DIID__IMeetingEvents)->Advise(&sink, &cookie));

    ASSERT_TRUE(TerminateProcess(client.process().handle(), 9));
    ASSERT_TRUE(client.process().WaitExit(10000));
    ASSERT_TRUE(files.CommandAndWait("verify all\nverify all\nmeeting 4 \"after\"\n"));
    const std::string log = files.ManagerLog();
    EXPECT_EQ(2u, Count(log, "ITavoObjVerify 0 Verify verifier#1 -> 1\n")) << log;
    EXPECT_EQ("0()\n0()\n128(bstr:\"after\")\n", sink.Transcript());
    RegisteredHost::Point(meeting.get(), DIID__IMeetingEvents)->Unadvise(cookie);
}

TEST(HostClients, ALiveClientWithoutASinkKeepsItsInstanceWhenAPingDropsAKilledClientsSink) {
    ManagerFiles files;
    RegisteredHost server;
    ASSERT_TRUE(server.ok());
    PluginClient client("create Setting progid1\nadvise\ntouch <ready>\nhang\n");
    ASSERT_TRUE(client.WaitReady()) << client.Record();
    server.Adopt();
    ComPtr<ISetting> setting = server.Create<ISetting>(CLSID_Setting);  // no sink of its own
    ASSERT_TRUE(setting);
    ASSERT_TRUE(TerminateProcess(client.process().handle(), 9));
    ASSERT_TRUE(client.process().WaitExit(10000));

    ASSERT_TRUE(files.CommandAndWait("verify all\n"));
    EXPECT_TRUE(Contains(files.ManagerLog(), "ITavoObjVerify 0 Verify verifier#1 -> 0\n"))
        << files.ManagerLog();
    VARIANT_BOOL valid = 5;
    EXPECT_EQ(S_OK, setting->HasValidAccount(&valid));
    EXPECT_EQ(0, valid);
    EXPECT_TRUE(Contains(files.ManagerLog(), "ITavoMgr 3 HasValidAccount -> false\n")) << files.ManagerLog();

    // The killed client's references are the platform's to release (Windows does after the client's
    // ping period); Wine never does: the instance, and the server, stay until the server is ended.
    setting.reset();
    EXPECT_FALSE(server.process().WaitExit(8000));
    EXPECT_FALSE(Contains(files.ManagerLog(), "ITavoMgr 15 SetSettingSink null\n"));
}

TEST(HostClients, AfterAnInstanceEndedTheNextClientsShareOneNewInstanceAndKeepGettingItsEvents) {
    ManagerFiles files;
    RegisteredHost server;
    ASSERT_TRUE(server.ok());
    server.Create<IMeeting>(CLSID_Meeting).reset();
    ASSERT_TRUE(
        WaitFor([&] { return Contains(files.ManagerLog(), "ITavoMgr 16 SetMeetingSink null\n"); }, 10000));
    EXPECT_EQ(0u, ActiveEntriesOf(CLSID_Meeting));  // the registration went with the instance
    const size_t before = files.ManagerLog().size();
    auto logSince = [&] { return files.ManagerLog().substr(before); };

    // Within the idle period, this test and a plug-in create Meeting: one new instance for both.
    ComPtr<IMeeting> meeting = server.Create<IMeeting>(CLSID_Meeting);
    ASSERT_TRUE(meeting);
    EventSink sink(DIID__IMeetingEvents);
    DWORD cookie = 0;
    ASSERT_HRESULT_SUCCEEDED(
        RegisteredHost::Point(meeting.get(), DIID__IMeetingEvents)->Advise(&sink, &cookie));
    PluginClient client("create Meeting clsid\nadvise\ntouch <ready>\nwait-file <go> 60000\nexit 0\n");
    ASSERT_TRUE(client.WaitReady()) << client.Record();
    ASSERT_TRUE(files.CommandAndWait("verify all\nmeeting 6 \"both\"\n"));
    EXPECT_EQ(1u, Count(logSince(), "ITavoMgr 13 RegisterObjVerify")) << logSince();
    EXPECT_EQ(1u, Count(logSince(), "ITavoMgr 16 SetMeetingSink sink#")) << logSince();
    EXPECT_TRUE(Contains(logSince(), " -> 2\n")) << logSince();  // one verifier pinged both sinks
    EXPECT_EQ("0()\n112(bstr:\"both\")\n", sink.Transcript());
    EXPECT_TRUE(client.WaitForRecord("event Meeting/1 112 bstr:\"both\"\n")) << client.Record();
    EXPECT_EQ(1u, ActiveEntriesOf(CLSID_Meeting));

    // This test lets go: the plug-in still holds the instance and still gets the manager's events.
    RegisteredHost::Point(meeting.get(), DIID__IMeetingEvents)->Unadvise(cookie);
    meeting.reset();
    ASSERT_TRUE(files.CommandAndWait("meeting 6 \"plug-in only\"\n"));
    EXPECT_TRUE(client.WaitForRecord("event Meeting/1 112 bstr:\"plug-in only\"\n")) << client.Record();
    EXPECT_FALSE(Contains(logSince(), "SetMeetingSink null")) << logSince();

    // The plug-in ends too: the instance ends, and the next client gets a working one.
    ASSERT_TRUE(client.Go());
    ASSERT_TRUE(client.process().WaitExit(30000));
    ASSERT_TRUE(WaitFor([&] { return Contains(logSince(), "ITavoMgr 16 SetMeetingSink null\n"); }, 10000));
    meeting = server.Create<IMeeting>(CLSID_Meeting);
    ASSERT_TRUE(meeting);
    EventSink next(DIID__IMeetingEvents);
    ASSERT_HRESULT_SUCCEEDED(
        RegisteredHost::Point(meeting.get(), DIID__IMeetingEvents)->Advise(&next, &cookie));
    ASSERT_TRUE(files.CommandAndWait("meeting 6 \"again\"\n"));
    EXPECT_EQ("112(bstr:\"again\")\n", next.Transcript());
    RegisteredHost::Point(meeting.get(), DIID__IMeetingEvents)->Unadvise(cookie);
}

// A plug-in whose handler asks the host to unload the manager (message 1435) while the host waits in
// the event's call, as another program of the suite may do at any time.
class UnloadingSink : public EventSink {
  public:
    UnloadingSink(HWND window) : EventSink(DIID__IMeetingEvents), m_window(window) {}
    STDMETHODIMP Invoke(DISPID dispid, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* parameters,
                        VARIANT* result, EXCEPINFO* exception, UINT* error) override {
        DWORD_PTR answer = 7;
        if (!SendMessageTimeoutW(m_window, 1435, 0, 0, SMTO_ABORTIFHUNG, 10000, &answer)) answer = 99;
        answers += std::to_string(static_cast<LONG>(answer)) + ";";
        return EventSink::Invoke(dispid, iid, lcid, flags, parameters, result, exception, error);
    }
    std::string answers;

  private:
    HWND m_window;
};

TEST(HostClients, TheManagerIsNotUnloadedWhileItsCallIntoTheHostWaits) {
    ManagerFiles files;
    RegisteredHost server;
    ASSERT_TRUE(server.ok());
    ComPtr<IMeeting> meeting = server.Create<IMeeting>(CLSID_Meeting);
    ASSERT_TRUE(meeting);
    HWND window = WaitForHelpWindow(server.process().pid(), 10000);
    ASSERT_NE(nullptr, window);
    UnloadingSink sink(window);
    DWORD cookie = 0;
    ASSERT_HRESULT_SUCCEEDED(
        RegisteredHost::Point(meeting.get(), DIID__IMeetingEvents)->Advise(&sink, &cookie));

    // Inside an event and inside a liveness ping: refused, and the manager stays whole.
    ASSERT_TRUE(files.CommandAndWait("meeting 6 \"x\"\nverify all\n"));
    EXPECT_EQ("-1;-1;", sink.answers);
    EXPECT_FALSE(Contains(files.ManagerLog(), "Destroy")) << files.ManagerLog();
    EXPECT_TRUE(Contains(files.ManagerLog(), "ITavoSink_Meeting 6 OnGeneralCall sink#1 text=\"x\"\n"))
        << files.ManagerLog();
    LONG error = 0;
    EXPECT_EQ(S_OK, meeting->GetLastError(&error));
    EXPECT_NE(-2, error);

    // With no call under way the same request unloads it.
    RegisteredHost::Point(meeting.get(), DIID__IMeetingEvents)->Unadvise(cookie);
    DWORD_PTR answer = 7;
    ASSERT_TRUE(SendMessageTimeoutW(window, 1435, 0, 0, SMTO_ABORTIFHUNG, 10000, &answer));
    EXPECT_EQ(0u, answer);
    EXPECT_TRUE(Contains(files.ManagerLog(), "ITavoMgr 19 Destroy\n"));
}

}  // namespace
