// Several plug-ins at once, as separate client processes (the plug-in test client and this test
// program): they share each class's one instance and all receive its events; the sinks of a client that
// was killed are dropped by the manager's liveness ping, and an instance only a killed client still held
// is cut off, so that the server can end.
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

TEST(HostClients, AnInstanceOnlyAKilledClientHeldIsCutOffByThePingAndTheServerEnds) {
    ManagerFiles files;
    RegisteredHost server;
    ASSERT_TRUE(server.ok());
    PluginClient client("create Setting progid1\nadvise\ntouch <ready>\nhang\n");
    ASSERT_TRUE(client.WaitReady()) << client.Record();
    server.Adopt();
    ASSERT_TRUE(TerminateProcess(client.process().handle(), 9));
    ASSERT_TRUE(client.process().WaitExit(10000));

    // Wine never releases what the killed client held: the instance, and the server, stay.
    EXPECT_FALSE(server.process().WaitExit(8000));

    ASSERT_TRUE(files.CommandAndWait("verify all\n"));
    const std::string log = files.ManagerLog();
    EXPECT_TRUE(Contains(log, "ITavoObjVerify 0 Verify verifier#1 -> 0\n")) << log;
    // Cut off from its clients, the instance ends: the manager drops its verifier and its sink.
    EXPECT_TRUE(
        Contains(log, "ITavoMgr 14 UnregisterObjVerify verifier#1\nITavoMgr 15 SetSettingSink null\n"))
        << log;
    ASSERT_TRUE(server.process().WaitExit(30000));
    EXPECT_EQ(0u, server.process().exitCode());
}

}  // namespace
