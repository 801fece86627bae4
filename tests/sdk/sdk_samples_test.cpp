// The plug-in kit's samples run against the real host and the test manager (which answers every request
// that hands out a cookie with an event carrying it and the request's text): the C++ sample in both
// builds (the 64-bit one where Windows is 64-bit) and the script sample under the system's script host.
// The test itself holds one Meeting, as another plug-in would: the sample shares that instance, and the
// host ends on its own once the test lets go only if the sample let go of everything it held.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "debug_capture.h"
#include "host_harness.h"
#include "registered_host.h"
#include "tavoservice.h"

using namespace tavo::test;
using tavo::ComPtr;

namespace {

struct SampleRun {
    DWORD exitCode = 0xDEADBEEF;
    std::vector<std::string> lines;
};

SampleRun RunSample(const std::wstring& commandLine) {
    tavo::capture::Options options;
    options.commandLine = commandLine;
    options.currentFolder = BinFolder();
    options.timeoutMs = 60000;
    const tavo::capture::Result result = tavo::capture::Run(options);
    EXPECT_TRUE(result.started) << Narrow(commandLine);
    EXPECT_FALSE(result.timedOut) << Narrow(commandLine);
    return {result.exitCode, SplitLines(result.output)};
}

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

// The host with the test manager beside it, started by the test's own Meeting.
class KitHost {
  public:
    KitHost() {
        if (!server.ok()) return;
        holder = server.Create<IMeeting>(CLSID_Meeting);
        window = WaitForHelpWindow(server.process().pid(), 10000);
    }
    bool ok() const { return server.ok() && holder && window; }
    // Sends a message to the host's hidden window: 1435 unloads the manager, 1436 loads it.
    LRESULT Send(UINT message, LPARAM lParam = 0) {
        DWORD_PTR answer = 99;
        if (!SendMessageTimeoutW(window, message, 0, lParam, SMTO_ABORTIFHUNG, 30000, &answer)) return 99;
        return static_cast<LRESULT>(answer);
    }
    // The test lets go of its Meeting; true when the host then ended on its own, with 0.
    bool EndsOnItsOwn() {
        holder.reset();
        return server.process().WaitExit(30000) && server.process().exitCode() == 0;
    }

    ManagerFiles files;
    ScopedEnv answers{L"TAVO_MGR_ANSWERS", L"1"};
    RegisteredHost server;
    ComPtr<IMeeting> holder;
    HWND window = nullptr;
};

// The default source (event) interface a class declares in a type library.
IID DefaultSource(ITypeLib* library, const CLSID& clsid) {
    ComPtr<ITypeInfo> coclass;
    TYPEATTR* attributes = nullptr;
    IID found = IID_NULL;
    if (FAILED(library->GetTypeInfoOfGuid(clsid, coclass.put())) || FAILED(coclass->GetTypeAttr(&attributes)))
        return found;
    for (UINT i = 0; i < attributes->cImplTypes; ++i) {
        INT flags = 0;
        HREFTYPE reference = 0;
        ComPtr<ITypeInfo> source;
        TYPEATTR* sourceAttributes = nullptr;
        if (FAILED(coclass->GetImplTypeFlags(i, &flags)) ||
            flags != (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE) ||
            FAILED(coclass->GetRefTypeOfImplType(i, &reference)) ||
            FAILED(coclass->GetRefTypeInfo(reference, source.put())) ||
            FAILED(source->GetTypeAttr(&sourceAttributes)))
            continue;
        found = sourceAttributes->guid;
        source->ReleaseTypeAttr(sourceAttributes);
    }
    coclass->ReleaseTypeAttr(attributes);
    return found;
}

// The kit's type library is the host's own (the bytes of its type-library resource), and the kit's
// header names what it declares: the library, the classes and their event interfaces.
TEST(SdkSamples, KitTypeLibraryIsTheHostsOwn) {
    const std::wstring kitLibrary = BinPath(L"sdk\\tavoservice.tlb");
    tavo::ScopedLibrary host(
        LoadLibraryExW(BinPath(L"tavopluginhost.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(host);
    HRSRC resource = FindResourceW(host.get(), MAKEINTRESOURCEW(1), L"TYPELIB");
    ASSERT_NE(nullptr, resource);
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(host.get(), resource)));
    ASSERT_NE(nullptr, bytes);
    EXPECT_TRUE(std::string(bytes, SizeofResource(host.get(), resource)) == ReadFileBytes(kitLibrary));

    ComPtr<ITypeLib> library;
    ASSERT_HRESULT_SUCCEEDED(LoadTypeLibEx(kitLibrary.c_str(), REGKIND_NONE, library.put()));
    TLIBATTR* attributes = nullptr;
    ASSERT_HRESULT_SUCCEEDED(library->GetLibAttr(&attributes));
    EXPECT_TRUE(IsEqualGUID(LIBID_TAVOSERVICELib, attributes->guid));
    library->ReleaseTLibAttr(attributes);
    EXPECT_TRUE(IsEqualIID(DIID__IMeetingEvents, DefaultSource(library.get(), CLSID_Meeting)));
    EXPECT_TRUE(IsEqualIID(DIID__ISettingEvents, DefaultSource(library.get(), CLSID_Setting)));
    EXPECT_TRUE(IsEqualIID(DIID__IUpdateEvents, DefaultSource(library.get(), CLSID_Update)));
    EXPECT_TRUE(IsEqualIID(IID_NULL, DefaultSource(library.get(), CLSID_Telemetry)));
}

// The C++ sample's whole run when the manager answers, handing out these cookies.
void ExpectAnsweredRun(const SampleRun& run, const std::string& meetingCookie = "1",
                       const std::string& settingCookie = "2") {
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(SameLines(
        run.lines,
        {"Meeting and Setting created", "connected to _IMeetingEvents and _ISettingEvents",
         "IMeeting::StartOCMeeting -> lRet 0, dwCookie " + meetingCookie,
         "event _IMeetingEvents::OnGetMeetingData(bstrGetMeetingData \"<StartOCMeeting subject=\"Sample "
         "plug-in\"/>\", dwCookie " +
             meetingCookie + ")",
         "ISetting::GetSetting -> lRet 0, dwCookie " + settingCookie,
         "event _ISettingEvents::OnGetSetting(bstrSettingInfoXml \"<GetSetting name=\"Sample plug-in\"/>\", "
         "dwCookie " +
             settingCookie + ")",
         "disconnected and released"}));
}

// The sample's requests reached the manager as sent, and the host ends once the test lets go.
void ExpectRequestsAndLettingGo(KitHost& host, const std::string& meetingCookie = "1",
                                const std::string& settingCookie = "2") {
    const std::string log = host.files.ManagerLog();
    EXPECT_TRUE(Contains(log,
                         "ITavoMgr_Meeting 0 StartOCMeeting request=\"<StartOCMeeting subject=\\\"Sample "
                         "plug-in\\\"/>\" -> 0 cookie=" +
                             meetingCookie + "\n"))
        << log;
    EXPECT_TRUE(Contains(log,
                         "ITavoMgr 2 GetSetting request=\"<GetSetting name=\\\"Sample plug-in\\\"/>\" -> 0 "
                         "cookie=" +
                             settingCookie + "\n"))
        << log;
    EXPECT_TRUE(host.EndsOnItsOwn());
}

TEST(SdkSamples, CppSampleGetsTheAnswerToEachRequestAndLetsGo) {
    KitHost host;
    ASSERT_TRUE(host.ok());
    ExpectAnsweredRun(RunSample(Quoted(BinPath(L"sdk\\x86\\tavo_plugin_sample.exe"))));
    ExpectRequestsAndLettingGo(host);
}

// The 64-bit sample on 64-bit Windows, with cookies from the upper half of their range (events carry a
// cookie as VT_I4, so these arrive negative); 32-bit Windows does not start the sample at all.
TEST(SdkSamples, SixtyFourBitCppSampleOnSixtyFourBitWindows) {
    const std::wstring sample = Quoted(BinPath(L"sdk\\x64\\tavo_plugin_sample.exe"));
    if (!SixtyFourBitWindows()) {
        tavo::capture::Options options;
        options.commandLine = sample;
        const tavo::capture::Result result = tavo::capture::Run(options);
        EXPECT_FALSE(result.started);
        EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_EXE_FORMAT), result.error);
        return;
    }
    KitHost host;
    ASSERT_TRUE(host.ok());
    ASSERT_TRUE(host.files.Control("cookie StartOCMeeting 4294967295\ncookie GetSetting 2147483648\n"));
    ExpectAnsweredRun(RunSample(sample), "4294967295", "2147483648");
    ExpectRequestsAndLettingGo(host, "4294967295", "2147483648");
}

// The suite unloads its manager while plug-ins hold the host's objects (as around an update): requests
// then answer -2 and nothing more happens; once the manager is loaded again, requests are answered.
TEST(SdkSamples, CppSampleWithoutTheManagerAndAfterItCameBack) {
    KitHost host;
    ASSERT_TRUE(host.ok());
    ASSERT_EQ(0, host.Send(1435));
    const SampleRun without = RunSample(Quoted(BinPath(L"sdk\\x86\\tavo_plugin_sample.exe")));
    EXPECT_EQ(2u, without.exitCode);
    EXPECT_TRUE(SameLines(
        without.lines,
        {"Meeting and Setting created", "connected to _IMeetingEvents and _ISettingEvents",
         "IMeeting::StartOCMeeting -> lRet -2, dwCookie 0",
         "the host runs without the suite's manager: no answer will come", "disconnected and released"}));

    ASSERT_EQ(0, host.Send(1436, 255));
    ExpectAnsweredRun(RunSample(Quoted(BinPath(L"sdk\\x86\\tavo_plugin_sample.exe"))));
    EXPECT_TRUE(host.EndsOnItsOwn());
}

// Without the manager library beside it the host ends at once, before it offers its classes: the
// plug-in's creation fails. Wine reports that as E_NOINTERFACE, at once; Windows reports a server that
// ended before it registered its classes as CO_E_SERVER_EXEC_FAILURE (0x80080005).
TEST(SdkSamples, CppSampleWhenTheHostCannotStart) {
    ManagerFiles files;
    RegisteredHost server(L"");
    ASSERT_TRUE(server.ok());
    const SampleRun run = RunSample(Quoted(BinPath(L"sdk\\x86\\tavo_plugin_sample.exe")));
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(SameLines(run.lines, {"the host's classes are not available: 0x80004002"}));
}

// The script sample under the system's script host, 32-bit and (on 64-bit Windows) 64-bit. Wine's
// script host implements neither WScript.ConnectObject nor WScript.Sleep (both answer E_NOTIMPL, which
// the script sees as error 445), and Wine's type-info dispatch refuses a script's variable for a typed
// out-parameter (DISP_E_TYPEMISMATCH): the script makes both requests, which reach the manager, and says
// what it could not do.
TEST(SdkSamples, ScriptSampleUnderTheSystemScriptHost) {
    KitHost host;
    ASSERT_TRUE(host.ok());
    std::vector<std::wstring> hosts = {L"C:\\windows\\system32\\cscript.exe"};  // 32-bit: redirected
    if (SixtyFourBitWindows()) hosts.push_back(L"C:\\windows\\sysnative\\cscript.exe");
    for (const std::wstring& scriptHost : hosts) {
        SCOPED_TRACE(Narrow(scriptHost));
        const SampleRun run = RunSample(Quoted(scriptHost) + L" //nologo " +
                                        Quoted(BinPath(L"sdk\\script\\plugin_sample.vbs")));
        EXPECT_EQ(5u, run.exitCode);
        const std::string notConnected =
            " not connected: Object doesn't support this action (error 445, 0x1BD)";
        EXPECT_TRUE(SameLines(
            run.lines,
            {"Meeting and Setting created", "events of Meeting_" + notConnected,
             "events of Setting_" + notConnected, "Meeting.StartOCMeeting -> lRet 0",
             "Setting.GetSetting -> lRet 0", "Meeting.GeneralCall failed: Type mismatch (error 13, 0xD)",
             "the events of Meeting and Setting did not reach the script", "disconnected and released"}));
    }
    const std::string log = host.files.ManagerLog();
    EXPECT_EQ(hosts.size(),
              Count(log, "StartOCMeeting request=\"<StartOCMeeting subject=\\\"Sample script\\\"/>\" -> 0"))
        << log;
    EXPECT_EQ(hosts.size(),
              Count(log, "GetSetting request=\"<GetSetting name=\\\"Sample script\\\"/>\" -> 0"))
        << log;
    EXPECT_FALSE(Contains(log, "GeneralCall")) << log;
    EXPECT_TRUE(host.EndsOnItsOwn());
}

}  // namespace
