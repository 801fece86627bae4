// Many plug-ins at once: client processes each create the four classes, advise the three event
// interfaces and make mixed calls while the manager answers every request that hands out a cookie with an
// event carrying it (TAVO_MGR_ANSWERS); one client is killed half-way. Every live client receives each
// answer exactly once, no live client's call fails, the host does not grow, and it ends after the last
// client (where the platform releases the killed client's references).
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host_harness.h"
#include "registered_host.h"

using namespace tavo::test;

namespace {

// The load asked for is 16 clients of 2 000 calls each. Every answer goes to every client's sink (a
// cross-process call of about 1 ms under Wine, all on the host's one thread), so the deliveries grow
// with clients x calls x clients: the calls are scaled down by kScale to keep the run short enough for CI.
constexpr int kClients = 16;
constexpr int kScale = 10;
constexpr int kCalls = 2000 / kScale;  // per client, after the warm-up
constexpr int kWarmUpCalls = 24;
constexpr int kKilled = 5;  // the client killed half-way
constexpr DWORD kPhaseTimeoutMs = 180000;

// Six calls, three of which hand out a cookie (and so are answered by an event).
std::string MixedCalls(int client, int count, bool main) {
    std::string script;
    for (int i = 0; i < count; ++i) {
        const std::string tag = "\"c" + std::to_string(client) + "-" + std::to_string(i) + "\"";
        switch (i % 6) {
            case 0:
                script += "use Meeting\ncall StartOCMeeting " + tag + "\n";
                break;
            case 1:
                script += "call GetLastError\n";
                break;
            case 2:
                script += "use Setting\ncall GetSetting " + tag + "\n";
                break;
            case 3:
                script += "call HasValidAccount\n";
                break;
            case 4:
                script += "use Update\ncall Update " + tag + "\n";
                break;
            default:
                script += "use Telemetry\ncall SendMetrics 1 2\n";
                break;
        }
        if (main && client == kKilled && i == count / 2) script += "note halfway\n";
    }
    return script;
}

// One client process and the files it shares with the test.
class LoadClient {
  public:
    explicit LoadClient(int index, const std::wstring& go, const std::wstring& end) : m_index(index) {
        std::string script;
        for (const char* name : {"Meeting", "Setting", "Update"}) {
            script += std::string("create ") + name + "\nadvise\n";
        }
        script += "create Telemetry\n" + MixedCalls(index, kWarmUpCalls, false);
        script += "touch " + Narrow(m_ready) + "\nwait-file " + Narrow(go) + " " +
                  std::to_string(kPhaseTimeoutMs) + "\nnote main\n";
        script += MixedCalls(index, kCalls, true);
        script += "touch " + Narrow(m_done) + "\nwait-file " + Narrow(end) + " " +
                  std::to_string(kPhaseTimeoutMs) + "\nexit 0\n";
        EXPECT_TRUE(WriteTextFile(m_script, script));
    }
    bool Start() {
        return m_process.Start(BinPath(L"fixtures\\plugin_client\\tavoplugin_client.exe"),
                               L"\"" + m_script + L"\" \"" + m_record + L"\"");
    }
    std::string Record() const { return ReadFileBytes(m_record); }
    bool Ready() const { return FileExists(m_ready); }
    bool Done() const { return FileExists(m_done); }
    HostProcess& process() { return m_process; }
    int index() const { return m_index; }

  private:
    int m_index;
    TempFolder m_folder{L"tavo-load"};
    std::wstring m_script = m_folder / L"script.txt";
    std::wstring m_record = m_folder / L"record.txt";
    std::wstring m_ready = m_folder / L"ready";
    std::wstring m_done = m_folder / L"done";
    HostProcess m_process;
};

// What a client's record shows of the main phase: the cookies its calls were handed, the calls that did
// not succeed, and how often each cookie arrived in an event (the last argument, "i4:<cookie>").
struct Transcript {
    std::vector<unsigned long> cookies;
    std::vector<std::string> failures;
    std::map<unsigned long, int> events;
};

Transcript Read(const std::string& record) {
    Transcript result;
    bool main = false;
    for (const std::string& line : SplitLines(record)) {
        if (line == "note main") main = true;
        if (line.rfind("event ", 0) == 0) {
            const size_t at = line.rfind(" i4:");
            if (at != std::string::npos) ++result.events[std::stoul(line.substr(at + 4))];
        } else if (main && line.rfind("call ", 0) == 0) {
            if (line.find(" -> 0x00000000") == std::string::npos) result.failures.push_back(line);
            const size_t at = line.find(" dwCookie=");
            if (at != std::string::npos) result.cookies.push_back(std::stoul(line.substr(at + 10)));
        }
    }
    return result;
}

// The process's private (committed) memory. Wine leaves PrivateUsage of another process at 0; there its
// PagefileUsage, the same figure on Windows, stands in.
SIZE_T PrivateBytes(HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters));
    return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

// Waits (pumping messages) until every client passes the check, or the time is up.
bool WaitAll(std::vector<std::unique_ptr<LoadClient>>& clients, bool (LoadClient::*check)() const) {
    return WaitFor(
        [&] {
            for (auto& client : clients) {
                if (client->index() != kKilled && !((*client).*check)()) return false;
            }
            return true;
        },
        kPhaseTimeoutMs);
}

TEST(HostLoad, ManyClientsReceiveEveryAnswerAndTheHostStaysTheSameSize) {
    const DWORD started = GetTickCount();
    ScopedEnv answers(L"TAVO_MGR_ANSWERS", L"1");
    RegisteredHost server;
    ASSERT_TRUE(server.ok());
    TempFolder signals(L"tavo-load-signals");
    const std::wstring go = signals / L"go";
    const std::wstring end = signals / L"end";
    // The first client starts the host; the others come once it runs (each would otherwise have the
    // platform start a server of its own while none has registered its classes yet).
    std::vector<std::unique_ptr<LoadClient>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<LoadClient>(i, go, end));
        ASSERT_TRUE(clients.back()->Start());
        if (i == 0) {
            ASSERT_TRUE(WaitFor([&] { return clients[0]->Ready(); }, kPhaseTimeoutMs))
                << clients[0]->Record();
        }
    }
    ASSERT_TRUE(WaitFor([&] { return clients[kKilled]->Ready(); }, kPhaseTimeoutMs));
    ASSERT_TRUE(WaitAll(clients, &LoadClient::Ready));
    server.Adopt();
    tavo::ScopedHandle host(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, server.process().pid()));
    ASSERT_TRUE(host.valid());
    Sleep(1000);  // the warm-up's last answers
    const SIZE_T warm = PrivateBytes(host.get());

    ASSERT_TRUE(WriteTextFile(go, ""));
    ASSERT_TRUE(
        WaitFor([&] { return Contains(clients[kKilled]->Record(), "note halfway\n"); }, kPhaseTimeoutMs));
    ASSERT_TRUE(TerminateProcess(clients[kKilled]->process().handle(), 9));
    ASSERT_TRUE(clients[kKilled]->process().WaitExit(10000));
    ASSERT_TRUE(WaitAll(clients, &LoadClient::Done));

    // Every answer of the main phase (also those to the killed client's calls) reaches every live client.
    std::set<unsigned long> expected;
    for (auto& client : clients) {
        const Transcript transcript = Read(client->Record());
        expected.insert(transcript.cookies.begin(), transcript.cookies.end());
        if (client->index() != kKilled) {
            EXPECT_EQ(kCalls / 2, static_cast<int>(transcript.cookies.size()))
                << "client " << client->index();
        }
    }
    auto missing = [&](const Transcript& transcript) {
        size_t count = 0;
        for (unsigned long cookie : expected) count += transcript.events.count(cookie) ? 0 : 1;
        return count;
    };
    EXPECT_TRUE(WaitFor(
        [&] {
            for (auto& client : clients) {
                if (client->index() != kKilled && missing(Read(client->Record())) != 0) return false;
            }
            return true;
        },
        kPhaseTimeoutMs));
    for (auto& client : clients) {
        if (client->index() == kKilled) continue;
        const Transcript transcript = Read(client->Record());
        EXPECT_EQ(0u, missing(transcript)) << "client " << client->index();
        for (unsigned long cookie : expected) {
            EXPECT_GE(1, transcript.events.count(cookie) ? transcript.events.at(cookie) : 0)
                << "client " << client->index() << " cookie " << cookie;
        }
        EXPECT_TRUE(transcript.failures.empty()) << transcript.failures.front();
    }
    const SIZE_T after = PrivateBytes(host.get());
    std::printf(
        "%d clients x %d calls (scale 1/%d), %zu answers to each live client; host private memory "
        "%lu KB after warm-up, %lu KB after the run; %lu ms\n",
        kClients, kCalls, kScale, expected.size(), static_cast<unsigned long>(warm / 1024),
        static_cast<unsigned long>(after / 1024), static_cast<unsigned long>(GetTickCount() - started));
    EXPECT_LT(after, warm + 4u * 1024u * 1024u);

    ASSERT_TRUE(WriteTextFile(end, ""));
    for (auto& client : clients) {
        if (client->index() == kKilled) continue;
        ASSERT_TRUE(client->process().WaitExit(30000)) << "client " << client->index();
        EXPECT_EQ(0u, client->process().exitCode()) << "client " << client->index();
    }
    // Windows releases the killed client's references after its ping period, and the host then ends
    // on its own. Wine never releases them: the instances, and with them the host, stay until it is ended.
    const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    if (wine) {
        EXPECT_FALSE(server.process().WaitExit(8000));
        EXPECT_TRUE(server.End());
    } else {
        EXPECT_TRUE(server.process().WaitExit(10 * 60 * 1000));
        EXPECT_EQ(0u, server.process().exitCode());
    }
}

}  // namespace
