// host_bench.exe: the plug-in host (with the test manager library) against the bare local server
// (bench_bare_server.exe), in the same run on the same machine. Prints one table: median and spread
// (lowest..highest of the rounds) of each figure, host and bare, and their ratio. The calls compared are
// the host's IMeeting::GeneralCall and the bare server's Relay, of the same shape.
//   host_bench.exe                                   the whole benchmark (registers and unregisters both)
//   host_bench.exe sink host|bare <events> <ready file> <result file>
//       a client process: advises a sink, touches <ready>, counts <events> events and writes
//       "<count> <first> <last>" (performance-counter ticks of the first and last event) to <result>
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <utility>
#include <string>
#include <vector>

#include "bare.h"
#include "support/scoped.h"
#include "tavoservice.h"

namespace {

using tavo::ComPtr;
using tavo::ScopedBstr;
using tavo::ScopedHandle;

constexpr wchar_t kHelpWndClass[] = L"TAVO_HELP_TRANSFERWND_D7294E1B-6A08-4C53-9F2E-1B8A5C0D3E47";
constexpr wchar_t kHostLibId[] = L"{9F41C6D2-0E7B-4A35-B8C4-62D1E0F7A3B5}";
constexpr int kRounds = 7;
constexpr int kCallsPerRound = 300;
constexpr int kWarmPerRound = 50;
constexpr int kColdRounds = 3;
constexpr int kEventRounds = 3;
constexpr int kEvents = 200;

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::wstring Folder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text = path;
    return text.substr(0, text.find_last_of(L'\\'));
}

DWORD Run(const std::wstring& commandLine, bool wait = true, HANDLE* process = nullptr) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return 0xFFFFFFFF;
    ScopedHandle thread(info.hThread);
    ScopedHandle owned(info.hProcess);
    DWORD code = 0;
    if (wait) {
        WaitForSingleObject(info.hProcess, 60000);
        GetExitCodeProcess(info.hProcess, &code);
    }
    if (process) *process = owned.release();
    return code;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void Pump() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeoutMs) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        Pump();
    }
    return true;
}

bool ProcessRunning(const wchar_t* name) {
    ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, name) == 0) return true;
    }
    return false;
}

// ------------------------------------------------------------------ the two servers

struct Server {
    const wchar_t* name;
    const wchar_t* image;
    CLSID clsid;
    IID events;
    std::function<void(int)> fire;  // has the server fire <n> events at every sink
};

// An event sink that counts every event (the host's liveness pings, DISPID 0, aside).
class CountingSink : public IDispatch {
  public:
    explicit CountingSink(const IID& events) : m_events(events) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        *out = (iid == IID_IUnknown || iid == IID_IDispatch || iid == m_events) ? this : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        if (id == 0) return S_OK;
        const double now = Now();
        if (count++ == 0) first = now;
        last = now;
        return S_OK;
    }
    int count = 0;
    double first = 0, last = 0;

  private:
    IID m_events;
};

int SinkMain(bool host, int events, const wchar_t* ready, const wchar_t* resultPath) {
    if (FAILED(CoInitialize(nullptr))) return 4;
    int code = 1;
    {
        const CLSID clsid = host ? CLSID_Meeting : CLSID_BareEcho;
        const IID iid = host ? DIID__IMeetingEvents : DIID__IBareEchoEvents;
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        CountingSink sink(iid);
        DWORD cookie = 0;
        if (SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IConnectionPointContainer,
                                       container.put_void())) &&
            SUCCEEDED(container->FindConnectionPoint(iid, point.put())) &&
            SUCCEEDED(point->Advise(&sink, &cookie))) {
            CloseHandle(CreateFileW(ready, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
            WaitUntil([&] { return sink.count >= events; }, 120000);
            point->Unadvise(cookie);
            char line[128];
            snprintf(line, sizeof(line), "%d %.9f %.9f\n", sink.count, sink.first, sink.last);
            ScopedHandle file(CreateFileW(resultPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
            DWORD written = 0;
            WriteFile(file.get(), line, static_cast<DWORD>(strlen(line)), &written, nullptr);
            code = 0;
        }
    }
    CoUninitialize();
    return code;
}

// ------------------------------------------------------------------ figures

struct Figure {
    double median = 0, low = 0, high = 0;
};

Figure Summarize(std::vector<double> values) {
    Figure figure;
    if (values.empty()) return figure;
    std::sort(values.begin(), values.end());
    figure.median = values[values.size() / 2];
    figure.low = values.front();
    figure.high = values.back();
    return figure;
}

void Row(const char* what, const char* unit, const std::pair<Figure, Figure>& figures, bool higherIsBetter) {
    const Figure& host = figures.first;
    const Figure& bare = figures.second;
    const double ratio = bare.median > 0 ? host.median / bare.median : 0;
    std::printf("%-34s %10.1f (%8.1f..%8.1f) %10.1f (%8.1f..%8.1f) %6.2fx %s%s\n", what, host.median,
                host.low, host.high, bare.median, bare.low, bare.high, ratio, unit,
                higherIsBetter ? "  (host/bare, higher is better)" : "");
    std::fflush(stdout);
}

// Runs the host's and the bare server's rounds in turn, so that a change in the load of the (shared)
// machine falls on both alike. A round gives its figure, or 0 when it failed.
std::pair<Figure, Figure> Alternate(int rounds, const std::function<double()>& host,
                                    const std::function<double()>& bare) {
    std::vector<double> hostFigures, bareFigures;
    for (int r = 0; r < rounds; ++r) {
        if (const double figure = host(); figure > 0) hostFigures.push_back(figure);
        if (const double figure = bare(); figure > 0) bareFigures.push_back(figure);
    }
    return {Summarize(hostFigures), Summarize(bareFigures)};
}

// Microseconds per call over kCallsPerRound calls.
double CallRound(const std::function<void()>& call) {
    const double start = Now();
    for (int i = 0; i < kCallsPerRound; ++i) call();
    return (Now() - start) * 1e6 / kCallsPerRound;
}

// Events per second delivered to `clients` client processes (each event reaches every client).
double EventRound(const Server& server, int clients) {
    const std::wstring folder = Folder();
    {
        std::vector<std::wstring> readies, results;
        std::vector<ScopedHandle> processes;
        for (int c = 0; c < clients; ++c) {
            readies.push_back(folder + L"\\bench-ready-" + std::to_wstring(c));
            results.push_back(folder + L"\\bench-result-" + std::to_wstring(c));
            DeleteFileW(readies.back().c_str());
            DeleteFileW(results.back().c_str());
            HANDLE process = nullptr;
            Run(L"\"" + folder + L"\\host_bench.exe\" sink " + server.name + L" " + std::to_wstring(kEvents) +
                    L" \"" + readies.back() + L"\" \"" + results.back() + L"\"",
                false, &process);
            processes.emplace_back(process);
        }
        WaitUntil([&] { return std::all_of(readies.begin(), readies.end(), Exists); }, 60000);
        server.fire(kEvents);
        WaitUntil([&] { return std::all_of(results.begin(), results.end(), Exists); }, 120000);
        for (auto& process : processes) WaitForSingleObject(process.get(), 10000);
        double first = 1e300, last = 0;
        int received = 0;
        for (const std::wstring& path : results) {
            FILE* file = _wfopen(path.c_str(), L"r");
            int count = 0;
            double a = 0, b = 0;
            if (file && fscanf(file, "%d %lf %lf", &count, &a, &b) == 3) {
                received += count;
                first = std::min(first, a);
                last = std::max(last, b);
            }
            if (file) fclose(file);
            DeleteFileW(path.c_str());
        }
        for (const std::wstring& path : readies) DeleteFileW(path.c_str());
        return received == clients * kEvents && last > first ? (kEvents - 1) / (last - first) : 0;
    }
}

// ------------------------------------------------------------------ set-up

// Wine's universal marshaler looks a type library up under locale 0 only; the host registers its library
// under 409, as declared. The alias is a fix-up of the test machine (as the host tests make it).
void AliasHostTypeLib() {
    const std::wstring base = std::wstring(L"TypeLib\\") + kHostLibId + L"\\1.0\\";
    wchar_t path[MAX_PATH] = {};
    LONG size = sizeof(path);
    if (RegQueryValueW(HKEY_CLASSES_ROOT, (base + L"409\\win32").c_str(), path, &size) != ERROR_SUCCESS)
        return;
    RegSetValueW(HKEY_CLASSES_ROOT, (base + L"0\\win32").c_str(), REG_SZ, path,
                 static_cast<DWORD>(wcslen(path) * sizeof(wchar_t)));
}

// Ends a server that is running and waits until it is gone.
void EndServer(const Server& server) {
    if (HWND window = FindWindowW(kHelpWndClass, nullptr)) PostMessageW(window, 1434, 0, 0);
    WaitUntil([&] { return !ProcessRunning(server.image); }, 30000);
}

void WriteCommands(const std::wstring& path, int events) {
    const std::wstring staging = path + L".new";
    std::string text;
    for (int i = 0; i < events; ++i) text += "meeting 6 \"<event/>\"\n";
    {
        ScopedHandle file(CreateFileW(staging.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
    MoveFileExW(staging.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

int BenchMain() {
    const std::wstring folder = Folder();
    const std::wstring hostExe = folder + L"\\host\\tavopluginhost.exe";
    const std::wstring bareExe = folder + L"\\bench_bare_server.exe";
    const std::wstring commands = folder + L"\\bench-commands.txt";
    SetEnvironmentVariableW(L"TAVO_MGR_COMMANDS", commands.c_str());  // the host inherits it
    SetEnvironmentVariableW(L"TAVO_MGR_LOG", nullptr);
    SetEnvironmentVariableW(L"TAVO_MGR_CONTROL", nullptr);
    if (Run(L"\"" + hostExe + L"\" /RegServer") != 0 || Run(L"\"" + bareExe + L"\" /RegServer") != 0) {
        std::printf("registration failed\n");
        return 1;
    }
    AliasHostTypeLib();
    if (FAILED(CoInitialize(nullptr))) return 1;

    ComPtr<IMeeting> meeting;
    ComPtr<IBareEcho> echo;
    Server host{L"host", L"tavopluginhost.exe", CLSID_Meeting, DIID__IMeetingEvents,
                [&](int n) { WriteCommands(commands, n); }};
    Server bare{L"bare", L"bench_bare_server.exe", CLSID_BareEcho, DIID__IBareEchoEvents, [&](int n) {
                    ScopedBstr text(SysAllocString((L"fire:" + std::to_wstring(n)).c_str()));
                    BSTR out = nullptr;
                    echo->Echo(text.get(), &out);
                    SysFreeString(out);
                }};

    std::printf("%-34s %-30s %-30s %s\n", "", "host: median (low..high)", "bare: median (low..high)",
                "ratio");

    // Cold activation: no server running.
    auto cold = [&](const Server& server, const IID& iid) {
        EndServer(server);
        ComPtr<IUnknown> object;
        const double start = Now();
        const HRESULT hr =
            CoCreateInstance(server.clsid, nullptr, CLSCTX_LOCAL_SERVER, iid, object.put_void());
        const double milliseconds = (Now() - start) * 1e3;
        object.reset();
        EndServer(server);
        return SUCCEEDED(hr) ? milliseconds : 0;
    };
    Row("cold activation", "ms",
        Alternate(
            kColdRounds, [&] { return cold(host, IID_IMeeting); }, [&] { return cold(bare, IID_IBareEcho); }),
        false);

    if (FAILED(CoCreateInstance(CLSID_Meeting, nullptr, CLSCTX_LOCAL_SERVER, IID_IMeeting,
                                meeting.put_void())) ||
        FAILED(
            CoCreateInstance(CLSID_BareEcho, nullptr, CLSCTX_LOCAL_SERVER, IID_IBareEcho, echo.put_void()))) {
        std::printf("activation failed\n");
        return 1;
    }
    auto warm = [&](const Server& server, const IID& iid) {
        const double start = Now();
        for (int i = 0; i < kWarmPerRound; ++i) {
            ComPtr<IUnknown> object;
            CoCreateInstance(server.clsid, nullptr, CLSCTX_LOCAL_SERVER, iid, object.put_void());
        }
        return (Now() - start) * 1e3 / kWarmPerRound;
    };
    Row("warm activation", "ms",
        Alternate(
            kRounds, [&] { return warm(host, IID_IMeeting); }, [&] { return warm(bare, IID_IBareEcho); }),
        false);

    ScopedBstr text(SysAllocString(L"<request>one string</request>"));
    auto vtableHost = [&] {
        BSTR out = nullptr;
        LONG result = 0;
        meeting->GeneralCall(text.get(), &out, &result);
        SysFreeString(out);
    };
    auto vtableBare = [&] {
        BSTR out = nullptr;
        LONG result = 0;
        echo->Relay(text.get(), &out, &result);
        SysFreeString(out);
    };
    for (int i = 0; i < 20; ++i) vtableHost(), vtableBare();  // warm-up
    Row("call through the vtable", "us",
        Alternate(
            kRounds, [&] { return CallRound(vtableHost); }, [&] { return CallRound(vtableBare); }),
        false);

    // GeneralCall and Relay: (in BSTR, out BSTR*, retval long*), the arguments reversed.
    auto invoke = [&](IDispatch* object, DISPID id) {
        VARIANT arguments[2];
        BSTR out = nullptr;
        VariantInit(&arguments[0]);
        VariantInit(&arguments[1]);
        arguments[0].vt = VT_BSTR | VT_BYREF;
        arguments[0].pbstrVal = &out;
        arguments[1].vt = VT_BSTR;
        arguments[1].bstrVal = text.get();
        DISPPARAMS parameters = {arguments, nullptr, 2, 0};
        VARIANT result;
        VariantInit(&result);
        object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, &result, nullptr,
                       nullptr);
        VariantClear(&result);
        SysFreeString(out);
    };
    Row("call through IDispatch::Invoke", "us",
        Alternate(
            kRounds, [&] { return CallRound([&] { invoke(meeting.get(), 7); }); },
            [&] { return CallRound([&] { invoke(echo.get(), 2); }); }),
        false);

    for (int clients : {1, 8}) {
        const std::string what = "events/s to " + std::to_string(clients) + " client(s)";
        Row(what.c_str(), "/s",
            Alternate(
                kEventRounds, [&] { return EventRound(host, clients); },
                [&] { return EventRound(bare, clients); }),
            true);
    }

    meeting.reset();
    echo.reset();
    CoUninitialize();
    EndServer(host);
    EndServer(bare);
    Run(L"\"" + hostExe + L"\" /UnregServer");
    Run(L"\"" + bareExe + L"\" /UnregServer");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 6 && wcscmp(argv[1], L"sink") == 0)
        return SinkMain(wcscmp(argv[2], L"host") == 0, _wtoi(argv[3]), argv[4], argv[5]);
    return BenchMain();
}
