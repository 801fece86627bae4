// The test builds of tavoMgr.dll and tavousredt.dll (tests/fixtures/manager, tests/fixtures/companion)
// loaded into this process and driven through the contract's interfaces: their exports, their records,
// their control file and their later calls into a host's sinks and verifiers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "manager/tavo_mgr.h"
#include "seh/seh_guard.h"
#include "support/proc_address.h"
#include "support/scoped.h"
#include "test_support.h"

using tavo::ScopedLibrary;
using tavo::test::BinPath;
using tavo::test::SameLines;
using tavo::test::ScopedEnv;
using tavo::test::SplitLines;
using tavo::test::TempFolder;

namespace {

using Lines = std::vector<std::string>;

const std::wstring kFull = L"fixtures\\manager\\full\\tavoMgr.dll";
const std::wstring kNoCreate = L"fixtures\\manager\\no-create\\tavoMgr.dll";

// An export as a function pointer of the type the contract gives it.
template <class Pfn>
Pfn ExportOf(HMODULE module, const char* name) {
    return tavo::ProcAddress<Pfn>(module, name);
}

// The names a loaded module exports, read from its export directory.
std::vector<std::string> ExportNames(HMODULE module) {
    const auto* base = reinterpret_cast<const BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    std::vector<std::string> names;
    if (entry.VirtualAddress == 0) return names;
    const auto* directory = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
    const auto* nameOffsets = reinterpret_cast<const DWORD*>(base + directory->AddressOfNames);
    for (DWORD i = 0; i < directory->NumberOfNames; ++i) {
        names.push_back(reinterpret_cast<const char*>(base + nameOffsets[i]));
    }
    if (directory->NumberOfFunctions != directory->NumberOfNames) names.push_back("<export by ordinal only>");
    return names;
}

// The module a loaded module imports `function` from, or "" when it does not import it by name.
std::string ImportingModule(HMODULE module, const char* function) {
    const auto* base = reinterpret_cast<const BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (entry.VirtualAddress == 0) return "";
    for (const auto* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + entry.VirtualAddress);
         import->Name != 0; ++import) {
        DWORD thunks = import->OriginalFirstThunk ? import->OriginalFirstThunk : import->FirstThunk;
        for (const auto* thunk = reinterpret_cast<const IMAGE_THUNK_DATA32*>(base + thunks);
             thunk->u1.AddressOfData; ++thunk) {
            if (thunk->u1.Ordinal & IMAGE_ORDINAL_FLAG32) continue;
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + thunk->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
                return reinterpret_cast<const char*>(base + import->Name);
            }
        }
    }
    return "";
}

// Runs the thread's message loop until `done` holds or the time is up.
template <class Done>
bool PumpUntil(Done done, DWORD timeoutMs = 15000) {
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeoutMs) return false;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(10);
    }
    return true;
}

void PumpFor(DWORD ms) {
    DWORD start = GetTickCount();
    PumpUntil([&] { return GetTickCount() - start >= ms; }, ms + 1000);
}

// One call a test-side sink or verifier received.
struct Received {
    std::string operation;
    std::wstring text;
    bool nullText = false;
    unsigned long cookie = 0;
    DWORD thread = 0;
};
std::vector<Received> g_received;

void Receive(const char* operation, const wchar_t* text, unsigned long cookie) {
    g_received.push_back({operation, text ? text : L"", text == nullptr, cookie, GetCurrentThreadId()});
}

class MeetingSink : public ITavoSink_Meeting {
    void TAVO_MGR_CALL OnMeetingChanged(const wchar_t* t) override { Receive("OnMeetingChanged", t, 0); }
    void TAVO_MGR_CALL OnMeetingSearched(const wchar_t* t, unsigned long c) override {
        Receive("OnMeetingSearched", t, c);
    }
    void TAVO_MGR_CALL OnInviteToMeet(const wchar_t* t, unsigned long c) override {
        Receive("OnInviteToMeet", t, c);
    }
    void TAVO_MGR_CALL OnGetScheduledMeeting(const wchar_t* t, unsigned long c) override {
        Receive("OnGetScheduledMeeting", t, c);
    }
    void TAVO_MGR_CALL OnJoinMeetRejected(const wchar_t* t) override { Receive("OnJoinMeetRejected", t, 0); }
    void TAVO_MGR_CALL OnGetMeetingData(const wchar_t* t, unsigned long c) override {
        Receive("OnGetMeetingData", t, c);
    }
    void TAVO_MGR_CALL OnGeneralCall(const wchar_t* t) override { Receive("Meeting.OnGeneralCall", t, 0); }
    void TAVO_MGR_CALL OnError(const wchar_t* t, unsigned long c) override {
        Receive("Meeting.OnError", t, c);
    }
};

class SettingSink : public ITavoSink_Setting {
    void TAVO_MGR_CALL OnGetSetting(const wchar_t* t, unsigned long c) override {
        Receive("OnGetSetting", t, c);
    }
    void TAVO_MGR_CALL OnSetClose(unsigned long c) override { Receive("OnSetClose", nullptr, c); }
    void TAVO_MGR_CALL OnError(const wchar_t* t, unsigned long c) override {
        Receive("Setting.OnError", t, c);
    }
    void TAVO_MGR_CALL OnSetModify(const wchar_t* t, unsigned long c) override {
        Receive("OnSetModify", t, c);
    }
    void TAVO_MGR_CALL OnGeneralCall(const wchar_t* t) override { Receive("Setting.OnGeneralCall", t, 0); }
    void TAVO_MGR_CALL OnSetOpen(const wchar_t* t, unsigned long c) override { Receive("OnSetOpen", t, c); }
};

class UpdateSink : public ITavoSink_Update {
    void TAVO_MGR_CALL OnUpdateComplete(unsigned long c) override { Receive("OnUpdateComplete", nullptr, c); }
    void TAVO_MGR_CALL OnGeneralCall(const wchar_t* t) override { Receive("Update.OnGeneralCall", t, 0); }
    void TAVO_MGR_CALL OnError(const wchar_t* t, unsigned long c) override {
        Receive("Update.OnError", t, c);
    }
};

class Verifier : public ITavoObjVerify {
  public:
    explicit Verifier(int answer) : m_answer(answer) {}
    int TAVO_MGR_CALL Verify() override {
        Receive("Verify", nullptr, static_cast<unsigned long>(m_answer));
        return m_answer;
    }

  private:
    int m_answer;
};

// A test with its own record, control and command files, the pointer ids of earlier tests forgotten.
class FakeManager : public ::testing::Test {
  protected:
    FakeManager()
        : m_log(L"TAVO_MGR_LOG", (m_folder / L"mgr.log").c_str()),
          m_control(L"TAVO_MGR_CONTROL", (m_folder / L"control.txt").c_str()),
          m_commands(L"TAVO_MGR_COMMANDS", (m_folder / L"commands.txt").c_str()),
          m_companion(L"TAVO_USREDT_LOG", (m_folder / L"usredt.log").c_str()) {
        SetEnvironmentVariableW(L"TAVO_MGR_POINTER_IDS", nullptr);
        g_received.clear();
    }
    ~FakeManager() override { SetEnvironmentVariableW(L"TAVO_MGR_POINTER_IDS", nullptr); }

    Lines Records() const { return SplitLines(tavo::test::ReadFileBytes(m_folder / L"mgr.log")); }
    Lines CompanionRecords() const { return SplitLines(tavo::test::ReadFileBytes(m_folder / L"usredt.log")); }
    // The records written since the last call.
    Lines NewRecords() {
        Lines all = Records();
        Lines fresh(all.begin() + static_cast<long>(std::min(m_seen, all.size())), all.end());
        m_seen = all.size();
        return fresh;
    }
    void Control(const std::string& text) {
        ASSERT_TRUE(tavo::test::WriteTextFile(m_folder / L"control.txt", text));
    }
    std::wstring CommandFile() const { return m_folder / L"commands.txt"; }
    // Puts a command file in place whole, as a test of the host does.
    void Commands(const std::string& text) {
        std::wstring staging = m_folder / L"commands.tmp";
        ASSERT_TRUE(tavo::test::WriteTextFile(staging, text));
        ASSERT_TRUE(MoveFileExW(staging.c_str(), CommandFile().c_str(), MOVEFILE_REPLACE_EXISTING));
    }
    // Pumps until the record `line` appears.
    bool PumpUntilRecord(const std::string& line) {
        return PumpUntil([&] {
            for (const std::string& record : Records()) {
                if (record == line) return true;
            }
            return false;
        });
    }

    TempFolder m_folder{L"tavo-mgr"};
    ScopedEnv m_log;
    ScopedEnv m_control;
    ScopedEnv m_commands;
    ScopedEnv m_companion;
    size_t m_seen = 0;
};

DWORD WINAPI CallLogout(void* manager) { return static_cast<ITavoMgr*>(manager)->Logout(); }

// The library loaded with its entry points.
struct Manager {
    ScopedLibrary library;
    PFN_CreateTavoMgr create = nullptr;

    explicit Manager(const std::wstring& relative) : library(LoadLibraryW(BinPath(relative).c_str())) {
        if (library) create = ExportOf<PFN_CreateTavoMgr>(library.get(), "CreateTavoMgr");
    }
    template <class Pfn>
    Pfn Export(const char* name) const {
        return ExportOf<Pfn>(library.get(), name);
    }
};

// First of this program's tests on purpose: where the 32-bit processor is emulated, a second raise in a
// process that already ran the recording test below has been seen to end in Wine's dispatcher ("exception
// frame is not in stack limits") and a crash of the emulator.
TEST_F(FakeManager, CrashesOnTheChosenCallWithAnAccessViolation) {
    Manager manager(kFull);
    ASSERT_NE(manager.create, nullptr);
    ITavoMgrObject* object = manager.create(1);
    ASSERT_NE(object, nullptr);
    ITavoMgr_Meeting* meeting = object;

    auto guarded = [](auto body) {
        DWORD code = 0;
        bool returned = tavo::SehTry(
            body, [](const EXCEPTION_RECORD&) { return tavo::SehVerdict::kHandle; }, &code);
        return returned ? DWORD{0} : code;
    };
    unsigned long cookie = 0;
    Control("crash ITavoMgr_Meeting.JoinOCMeeting 2\n");
    EXPECT_EQ(guarded([&] { meeting->JoinOCMeeting(L"1", &cookie); }), 0u);
    EXPECT_EQ(guarded([&] { meeting->JoinOCMeeting(L"2", &cookie); }),
              static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_EQ(guarded([&] { meeting->JoinOCMeeting(L"3", &cookie); }), 0u);
    Control("crash IsBusy\n");
    EXPECT_EQ(guarded([&] { object->IsBusy(); }), static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_EQ(guarded([&] { object->IsBusy(); }), static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    Control("crash CreateTavoMgr every\n");
    EXPECT_EQ(guarded([&] { manager.create(0); }), static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    Control("");
    object->Destroy();

    Lines records = Records();
    ASSERT_EQ(records.size(), 9u);
    EXPECT_EQ(records[2], "ITavoMgr_Meeting 1 JoinOCMeeting request=\"1\" -> 0 cookie=1");
    EXPECT_EQ(records[3], "ITavoMgr_Meeting 1 JoinOCMeeting request=\"2\" -> crash");
    EXPECT_EQ(records[4], "ITavoMgr_Meeting 1 JoinOCMeeting request=\"3\" -> 0 cookie=2");
    EXPECT_EQ(records[5], "ITavoMgr 18 IsBusy -> crash");
    EXPECT_EQ(records[6], "ITavoMgr 18 IsBusy -> crash");
    EXPECT_EQ(records[7], "CreateTavoMgr 0 -> crash");
}

TEST_F(FakeManager, ExportsExactlyTheContractNamesAndAllocatesWithMsvcrt) {
    {
        Manager full(kFull);
        ASSERT_TRUE(full.library);
        EXPECT_EQ(
            ExportNames(full.library.get()),
            (std::vector<std::string>{"AddMetricValueLong", "AddMetricValueString", "CreateTavoMgr",
                                      "GetMetricsID", "InitTelemetry", "SendMetrics", "UnInitTelemetry"}));
        // Strings handed to the host come from msvcrt.dll's heap, which the host's free releases.
        EXPECT_STRCASEEQ(ImportingModule(full.library.get(), "malloc").c_str(), "msvcrt.dll");
    }
    {
        Manager noCreate(kNoCreate);
        ASSERT_TRUE(noCreate.library);
        EXPECT_EQ(ExportNames(noCreate.library.get()),
                  (std::vector<std::string>{"AddMetricValueLong", "AddMetricValueString", "GetMetricsID",
                                            "InitTelemetry", "SendMetrics", "UnInitTelemetry"}));
        EXPECT_EQ(noCreate.create, nullptr);
    }
    {
        ScopedLibrary companion(LoadLibraryW(BinPath(L"fixtures\\companion\\full\\tavousredt.dll").c_str()));
        ASSERT_TRUE(companion);
        EXPECT_EQ(ExportNames(companion.get()), (std::vector<std::string>{"isTrustCert"}));
        using IsTrustCert = int(__cdecl*)(const wchar_t*);
        auto isTrustCert = ExportOf<IsTrustCert>(companion.get(), "isTrustCert");
        ASSERT_NE(isTrustCert, nullptr);
        EXPECT_EQ(isTrustCert(L"C:\\x.dll"), 0);
    }
    {
        ScopedLibrary companion(
            LoadLibraryW(BinPath(L"fixtures\\companion\\no-export\\tavousredt.dll").c_str()));
        ASSERT_TRUE(companion);
        EXPECT_TRUE(ExportNames(companion.get()).empty());
    }
    EXPECT_TRUE(
        SameLines(CompanionRecords(), {"attach", "isTrustCert", "detach unload", "attach", "detach unload"}));
    EXPECT_TRUE(SameLines(Records(), {"attach", "detach unload", "attach", "detach unload"}));
}

TEST_F(FakeManager, RecordsEveryCallWithItsArgumentsAndTheUnload) {
    Manager manager(kFull);
    ASSERT_NE(manager.create, nullptr);
    ITavoMgrObject* object = manager.create(1);
    ASSERT_NE(object, nullptr);
    ITavoMgr* mgr = object;
    ITavoMgr_Meeting* meeting = object;
    ITavoMgr_Update* update = object;
    MeetingSink meetingSink;
    SettingSink settingSink;
    UpdateSink updateSink;
    Verifier first(1), second(2);

    unsigned long cookie = 777;
    wchar_t* out = reinterpret_cast<wchar_t*>(0x1234);  // left alone unless the control file says
    EXPECT_EQ(mgr->OpenSettingDlg(L"<open a=\"1\"/>\r\n\tx\\y", &cookie), 0);
    EXPECT_EQ(cookie, 1u);
    EXPECT_EQ(mgr->CloseSettingDlg(&cookie), 0);
    EXPECT_EQ(cookie, 2u);
    EXPECT_EQ(mgr->GetSetting(nullptr, nullptr), 0);
    EXPECT_FALSE(mgr->HasValidAccount());
    EXPECT_EQ(mgr->GetAccountInfo(&out), 0);
    EXPECT_EQ(out, reinterpret_cast<wchar_t*>(0x1234));
    EXPECT_EQ(mgr->GeneralCall(L"caf\u00e9 \u20ac", nullptr), 0);
    mgr->SetSettingSink(&settingSink);
    mgr->SetMeetingSink(&meetingSink);
    mgr->SetUpdateSink(&updateSink);
    mgr->RegisterObjVerify(&first);
    mgr->RegisterObjVerify(&second);
    mgr->RegisterObjVerify(&first);
    mgr->UnregisterObjVerify(&first);
    mgr->UnregisterObjVerify(&first);
    mgr->RegisterObjVerify(&first);  // dropped, so a new id
    mgr->SetMeetingSink(nullptr);
    mgr->SetMeetingSink(&meetingSink);  // dropped, so a new id
    mgr->SetSettingSink(&settingSink);  // the same pointer again keeps its id
    EXPECT_EQ(meeting->StartOCMeeting(L"<m/>", &cookie), 0);
    EXPECT_EQ(cookie, 3u);
    EXPECT_EQ(meeting->GetLastError(), 0);
    EXPECT_EQ(meeting->GeneralCall(L"", &out), 0);
    EXPECT_FALSE(meeting->CheckMeetingGoingStatus());
    EXPECT_FALSE(update->CheckUpdate(L"<v/>"));
    EXPECT_EQ(update->Update(L"<u/>", &cookie), 0);
    EXPECT_EQ(update->GetLastError(), 0);
    EXPECT_EQ(mgr->GetLastError(), 0);
    {
        tavo::ScopedHandle other(CreateThread(nullptr, 0, CallLogout, mgr, 0, nullptr));
        ASSERT_TRUE(other);
        WaitForSingleObject(other.get(), INFINITE);
    }
    EXPECT_EQ(mgr->IsBusy(), 0);
    mgr->Destroy();
    mgr->IsBusy();  // a host fault, recorded as such

    auto getId = manager.Export<PFN_GetMetricsID>("GetMetricsID");
    ASSERT_NE(getId, nullptr);
    int id = -5;
    EXPECT_EQ(manager.Export<PFN_InitTelemetry>("InitTelemetry")(20), 0);
    EXPECT_EQ(getId(&id, L"calls"), 0);
    EXPECT_EQ(id, 1);
    manager.Export<PFN_AddMetricValueString>("AddMetricValueString")(1, L"name", nullptr);
    manager.Export<PFN_AddMetricValueLong>("AddMetricValueLong")(1, L"count", -7);
    manager.Export<PFN_SendMetrics>("SendMetrics")(1, 3);
    manager.Export<PFN_UnInitTelemetry>("UnInitTelemetry")();
    manager.library.reset();

    EXPECT_TRUE(SameLines(
        Records(),
        {
            "attach",
            "CreateTavoMgr 1 -> object#1",
            "ITavoMgr 0 OpenSettingDlg request=\"<open a=\\\"1\\\"/>\\r\\n\\tx\\\\y\" -> 0 cookie=1",
            "ITavoMgr 1 CloseSettingDlg -> 0 cookie=2",
            "ITavoMgr 2 GetSetting request=null -> 0 cookie=null-pointer",
            "ITavoMgr 3 HasValidAccount -> false",
            "ITavoMgr 4 GetAccountInfo -> 0 out=none",
            "ITavoMgr 7 GeneralCall request=\"caf\\u00E9 \\u20AC\" -> 0 out=null-pointer",
            "ITavoMgr 15 SetSettingSink sink#1",
            "ITavoMgr 16 SetMeetingSink sink#1",
            "ITavoMgr 17 SetUpdateSink sink#1",
            "ITavoMgr 13 RegisterObjVerify verifier#1",
            "ITavoMgr 13 RegisterObjVerify verifier#2",
            "ITavoMgr 13 RegisterObjVerify verifier#1 already-registered",
            "ITavoMgr 14 UnregisterObjVerify verifier#1",
            "ITavoMgr 14 UnregisterObjVerify verifier#3 not-registered",
            "ITavoMgr 13 RegisterObjVerify verifier#3",
            "ITavoMgr 16 SetMeetingSink null",
            "ITavoMgr 16 SetMeetingSink sink#2",
            "ITavoMgr 15 SetSettingSink sink#1",
            "ITavoMgr_Meeting 0 StartOCMeeting request=\"<m/>\" -> 0 cookie=3",
            "ITavoMgr_Meeting 6 GetLastError -> 0",
            "ITavoMgr_Meeting 7 GeneralCall request=\"\" -> 0 out=none",
            "ITavoMgr_Meeting 10 CheckMeetingGoingStatus -> false",
            "ITavoMgr_Update 0 CheckUpdate request=\"<v/>\" -> false",
            "ITavoMgr_Update 1 Update request=\"<u/>\" -> 0 cookie=4",
            "ITavoMgr_Update 2 GetLastError -> 0",
            "ITavoMgr 6 GetLastError -> 0",
            "ITavoMgr 8 Logout -> 0 wrong-thread",
            "ITavoMgr 18 IsBusy -> 0",
            "ITavoMgr 19 Destroy",
            "ITavoMgr 18 IsBusy -> 0 destroyed",
            "InitTelemetry 20 -> 0",
            "GetMetricsID name=\"calls\" -> 0 id=1",
            "AddMetricValueString id=1 name=\"name\" value=null -> 0",
            "AddMetricValueLong id=1 name=\"count\" value=-7 -> 0",
            "SendMetrics id=1 metric=3 -> 0",
            "UnInitTelemetry -> 0",
            "detach unload",
        }));
}

TEST_F(FakeManager, ControlFileSetsTheAnswersAndIsReadAtEveryCall) {
    Manager manager(kFull);
    ASSERT_NE(manager.create, nullptr);
    Control(
        "# answers\n"
        "result OpenSettingDlg -3\r\n"
        "cookie OpenSettingDlg 0xFFFFFFFE\n"
        "result HasValidAccount true\n"
        "busy 1\n"
        "result GeneralCall 7\n"
        "result ITavoMgr_Meeting.GeneralCall 0\n"
        "string GeneralCall \"x\\u00e9\\\"\\n\"\n"
        "string ITavoMgr_Update.GeneralCall null\n"
        "string GetAccountInfo \"\"\n"
        "cookie StartOCMeeting none\n"
        "result CheckMeetingGoingStatus 1\n"
        "metrics-id 42\n");
    ITavoMgrObject* object = manager.create(0);
    ASSERT_NE(object, nullptr);
    ITavoMgr* mgr = object;
    ITavoMgr_Meeting* meeting = object;
    ITavoMgr_Update* update = object;

    unsigned long cookie = 5;
    EXPECT_EQ(mgr->OpenSettingDlg(L"a", &cookie), -3);
    EXPECT_EQ(cookie, 0xFFFFFFFEu);
    EXPECT_TRUE(mgr->HasValidAccount());
    EXPECT_EQ(mgr->IsBusy(), 1);
    EXPECT_TRUE(meeting->CheckMeetingGoingStatus());

    // Bare names reach all three interfaces; a qualified line wins over the bare one. Each string is a
    // buffer of its own that this side's free releases.
    wchar_t* out = nullptr;
    EXPECT_EQ(mgr->GeneralCall(L"q", &out), 7);
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, L"x\u00e9\"\n");
    free(out);
    out = nullptr;
    EXPECT_EQ(meeting->GeneralCall(L"q", &out), 0);
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, L"x\u00e9\"\n");
    free(out);
    out = reinterpret_cast<wchar_t*>(0x1234);
    EXPECT_EQ(update->GeneralCall(L"q", &out), 7);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(mgr->GetAccountInfo(&out), 0);
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, L"");
    free(out);
    cookie = 5;
    EXPECT_EQ(meeting->StartOCMeeting(nullptr, &cookie), 0);
    EXPECT_EQ(cookie, 5u);
    int id = 0;
    manager.Export<PFN_GetMetricsID>("GetMetricsID")(&id, nullptr);
    EXPECT_EQ(id, 42);

    // A changed control file counts from the next call on.
    Control("busy 0\nresult IsSettingDlgOpened true\nmetrics-id none\n");
    EXPECT_EQ(mgr->IsBusy(), 0);
    EXPECT_TRUE(mgr->IsSettingDlgOpened());
    EXPECT_EQ(mgr->OpenSettingDlg(L"a", &cookie), 0);
    EXPECT_EQ(cookie, 1u);  // the default counter again
    id = -1;
    manager.Export<PFN_GetMetricsID>("GetMetricsID")(&id, L"n");
    EXPECT_EQ(id, -1);

    Lines records = Records();
    ASSERT_GE(records.size(), 8u);
    EXPECT_EQ(records[1], "CreateTavoMgr 0 -> object#1");
    EXPECT_EQ(records[2], "ITavoMgr 0 OpenSettingDlg request=\"a\" -> -3 cookie=4294967294");
    EXPECT_EQ(records[3], "ITavoMgr 3 HasValidAccount -> true");
    EXPECT_EQ(records[6], "ITavoMgr 7 GeneralCall request=\"q\" -> 7 out=\"x\\u00E9\\\"\\n\"");
    EXPECT_EQ(records[8], "ITavoMgr_Update 4 GeneralCall request=\"q\" -> 7 out=null");
    EXPECT_EQ(records[9], "ITavoMgr 4 GetAccountInfo -> 0 out=\"\"");
    EXPECT_EQ(records[10], "ITavoMgr_Meeting 0 StartOCMeeting request=null -> 0 cookie=none");
    EXPECT_EQ(records[11], "GetMetricsID name=null -> 0 id=42");
    EXPECT_EQ(records.back(), "GetMetricsID name=\"n\" -> 0 id=none");

    object->Destroy();
    Control("create null\n");
    EXPECT_EQ(manager.create(1), nullptr);
    EXPECT_EQ(Records().back(), "CreateTavoMgr 1 -> null");
}

TEST_F(FakeManager, CommandsCallSinksAndVerifiersFromTheCreatingThreadsMessageLoop) {
    Manager manager(kFull);
    ASSERT_NE(manager.create, nullptr);
    ITavoMgrObject* object = manager.create(1);
    ASSERT_NE(object, nullptr);
    MeetingSink meetingSink;
    SettingSink settingSink;
    UpdateSink updateSink;
    Verifier first(3), second(0);

    // Before any sink is set: nothing to call, and the command runs only when the loop dispatches.
    Commands("meeting 0 \"early\"\nverify all\nmark one\n");
    Sleep(300);
    EXPECT_TRUE(tavo::test::FileExists(CommandFile()));
    ASSERT_TRUE(PumpUntilRecord("mark one"));
    EXPECT_FALSE(tavo::test::FileExists(CommandFile()));
    EXPECT_TRUE(g_received.empty());
    NewRecords();

    object->SetMeetingSink(&meetingSink);
    object->SetSettingSink(&settingSink);
    object->SetUpdateSink(&updateSink);
    object->RegisterObjVerify(&first);
    object->RegisterObjVerify(&second);
    NewRecords();
    Commands(
        "meeting 1 \"<found \\\"x\\\"/>\" 4294967295\n"
        "meeting OnJoinMeetRejected null\n"
        "meeting 7 \"caf\\u00e9\" 9\n"
        "setting 1 12\n"
        "setting OnSetOpen \"o\" 13\n"
        "update 0 21\n"
        "update OnError null 22\n"
        "verify all\n"
        "verify 2\n"
        "verify 9\n"
        "meeting 8 \"x\"\n"
        "setting 1\n"
        "mark two\n");
    ASSERT_TRUE(PumpUntilRecord("mark two"));
    EXPECT_TRUE(SameLines(
        NewRecords(),
        {
            "ITavoSink_Meeting 1 OnMeetingSearched sink#1 text=\"<found \\\"x\\\"/>\" cookie=4294967295",
            "ITavoSink_Meeting 4 OnJoinMeetRejected sink#1 text=null",
            "ITavoSink_Meeting 7 OnError sink#1 text=\"caf\\u00E9\" cookie=9",
            "ITavoSink_Setting 1 OnSetClose sink#1 cookie=12",
            "ITavoSink_Setting 5 OnSetOpen sink#1 text=\"o\" cookie=13",
            "ITavoSink_Update 0 OnUpdateComplete sink#1 cookie=21",
            "ITavoSink_Update 2 OnError sink#1 text=null cookie=22",
            "ITavoObjVerify 0 Verify verifier#1 -> 3",
            "ITavoObjVerify 0 Verify verifier#2 -> 0",
            "ITavoObjVerify 0 Verify verifier#2 -> 0",
            "ITavoObjVerify 0 Verify verifier#9 not-registered",
            "command error \"meeting 8 x\"",
            "command error \"setting 1\"",
            "mark two",
        }));
    ASSERT_EQ(g_received.size(), 10u);
    EXPECT_EQ(g_received[0].operation, "OnMeetingSearched");
    EXPECT_EQ(g_received[0].text, L"<found \"x\"/>");
    EXPECT_EQ(g_received[0].cookie, 0xFFFFFFFFu);
    EXPECT_EQ(g_received[1].operation, "OnJoinMeetRejected");
    EXPECT_TRUE(g_received[1].nullText);
    EXPECT_EQ(g_received[2].operation, "Meeting.OnError");
    EXPECT_EQ(g_received[2].text, L"caf\u00e9");
    EXPECT_EQ(g_received[3].operation, "OnSetClose");
    EXPECT_EQ(g_received[3].cookie, 12u);
    EXPECT_EQ(g_received[4].operation, "OnSetOpen");
    EXPECT_EQ(g_received[5].operation, "OnUpdateComplete");
    EXPECT_EQ(g_received[5].cookie, 21u);
    EXPECT_EQ(g_received[6].operation, "Update.OnError");
    EXPECT_TRUE(g_received[6].nullText);
    EXPECT_EQ(g_received[7].operation, "Verify");
    EXPECT_EQ(g_received[7].cookie, 3u);
    for (const Received& received : g_received) EXPECT_EQ(received.thread, GetCurrentThreadId());

    // After Destroy the timer is gone: a command file stays where it is.
    object->Destroy();
    Commands("verify all\n");
    PumpFor(400);
    EXPECT_TRUE(tavo::test::FileExists(CommandFile()));
    DeleteFileW(CommandFile().c_str());

    // A new library load keeps the ids of the pointers it is handed again.
    manager.library.reset();
    Manager again(kFull);
    ASSERT_NE(again.create, nullptr);
    ITavoMgrObject* fresh = again.create(0);
    ASSERT_NE(fresh, nullptr);
    MeetingSink otherSink;
    fresh->SetMeetingSink(&meetingSink);
    fresh->RegisterObjVerify(&second);
    fresh->SetMeetingSink(&otherSink);
    Commands("meeting 6 \"g\"\nmark three\n");
    ASSERT_TRUE(PumpUntilRecord("mark three"));
    fresh->Destroy();
    again.library.reset();
    Lines records = NewRecords();
    EXPECT_TRUE(SameLines(
        records, {"ITavoMgr 19 Destroy", "detach unload", "attach", "CreateTavoMgr 0 -> object#1",
                  "ITavoMgr 16 SetMeetingSink sink#1", "ITavoMgr 13 RegisterObjVerify verifier#2",
                  "ITavoMgr 16 SetMeetingSink sink#2", "ITavoSink_Meeting 6 OnGeneralCall sink#2 text=\"g\"",
                  "mark three", "ITavoMgr 19 Destroy", "detach unload"}));
}

TEST_F(FakeManager, UnloadWithALiveObjectIsRecordedAndStopsItsTimer) {
    {
        Manager manager(kFull);
        ASSERT_NE(manager.create, nullptr);
        ASSERT_NE(manager.create(1), nullptr);
    }
    // The timer went with the library: pumping now must not call into the unloaded code.
    Commands("mark late\n");
    PumpFor(300);
    EXPECT_TRUE(tavo::test::FileExists(CommandFile()));
    DeleteFileW(CommandFile().c_str());
    EXPECT_TRUE(
        SameLines(Records(), {"attach", "CreateTavoMgr 1 -> object#1", "detach unload live=object#1"}));
}

}  // namespace
