// TavoRemover as a whole program on a clean machine: its command line, its console and debug output, and
// the two stages.
#include <gtest/gtest.h>

#include "debug_capture.h"
#include "registry/registry.h"
#include "system/system_facts.h"
#include "test_support.h"

using tavo::test::Ansi;
using tavo::test::BinPath;
using tavo::test::KeyExists;
using tavo::test::SameLines;
using tavo::test::TempFolder;

namespace {

constexpr wchar_t kProductKey[] = L"SOFTWARE\\Velnor\\Plugins";
constexpr wchar_t kNeighbourKey[] = L"SOFTWARE\\Velnor\\Neighbour";
const std::string kStars(76, '*');

std::string Banner(const std::string& title) {
    std::string line = "********" + title;
    line.append(76 - line.size(), '*');
    return "\n" + kStars + "\n" + line + "\n";
}

void WriteValue(HKEY root, const wchar_t* subkey, DWORD view, const wchar_t* name, const std::wstring& text) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(root, subkey, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

struct Place {
    HKEY root;
    DWORD view;
};

// The product key and a neighbour in each of the places the uninstaller cleans.
class RemoverTest : public ::testing::Test {
  public:
    void SetUp() override {
        places_ = {{HKEY_LOCAL_MACHINE, 0}, {HKEY_CURRENT_USER, 0}};
        if (Is64BitWindows()) places_.push_back({HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY});
    }
    void TearDown() override {
        for (const Place& place : places_) {
            DeleteRegKey(place.root, kProductKey, place.view);
            DeleteRegKey(place.root, kNeighbourKey, place.view);
        }
    }
    void LayKeys(const std::wstring& installFolder) {
        for (const Place& place : places_) {
            WriteValue(place.root, kProductKey, place.view, L"Path", installFolder);
            WriteValue(place.root, L"SOFTWARE\\Velnor\\Plugins\\Nested", place.view, L"Value", L"x");
            WriteValue(place.root, kNeighbourKey, place.view, L"Keep", L"me");
        }
    }
    tavo::capture::Result Run(const std::wstring& exe, const std::wstring& arguments,
                              std::function<bool()> keepWaiting = nullptr) {
        tavo::capture::Options options;
        options.commandLine = L"\"" + exe + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
        options.keepWaiting = std::move(keepWaiting);
        return tavo::capture::Run(options);
    }
    std::vector<Place> places_;
};

std::string InitLine(const std::string& exePath, bool bound) {
    (void)bound;
    return "QXRvt51827 InitVLRTRACER: g_pfnVLRTRACEA=0x00000000, g_pfnVlrTraceResident=0x00000000, "
           "g_hVlrTracer=0x00000000, szInstancePath=" +
           exePath + "\r\n";
}

const std::string kUninitUnbound =
    "QXRvt51827 UninitVLRTRACER: g_pfnVLRTRACEA=0x00000000, g_pfnVlrTraceResident=0x00000000, "
    "g_hVlrTracer=0x00000000\r\n";

TEST_F(RemoverTest, CommandLinesThatDoNothing) {
    const std::wstring installFolder = L"C:\\Program Files (x86)\\Velnor\\Tavo Suite";
    LayKeys(installFolder);
    const std::wstring exe = BinPath(L"TavoRemover.exe");
    const std::string exeNarrow = Ansi(exe);
    const std::string help =
        "These commands are defined internally.Type `/help' to see this list.\n\n"
        "/ManualUninstall\t\tUninstall all installation parameters about Orvane Velnor Tavo Suite.\n"
        "/Help or ?\t\t\tDisplay information about builtin commands.\n";
    struct Case {
        std::wstring arguments;
        std::string output;
        std::vector<std::string> extraDebug;
    };
    const Case cases[] = {
        {L"", "verify cmdline FAILED!\n\n", {"verify cmdline FAILED!\n"}},
        {L"/help", help, {}},
        {L"/HELP", help, {}},
        {L"/Help", help, {}},
        {L"?", help, {}},
        {L"/bogus", "", {}},
        {L"/TempUninstallx", "", {}},
        {L"x /help", "", {}},
        {L"x /TempUninstall", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Ansi(c.arguments));
        tavo::capture::Result result = Run(exe, c.arguments);
        ASSERT_TRUE(result.started);
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(tavo::test::Unix(result.output), c.output);
        std::vector<std::string> expected = {InitLine(exeNarrow, false), "VELNORLOGInitialize\n",
                                             "Run TavoRemover.exe!\n"};
        expected.insert(expected.end(), c.extraDebug.begin(), c.extraDebug.end());
        expected.push_back(kUninitUnbound);
        expected.push_back("~VELNORLOGInitialize\n");
        EXPECT_TRUE(SameLines(result.TextsOf(result.pid), expected));
        for (const Place& place : places_) {
            EXPECT_TRUE(KeyExists(place.root, L"SOFTWARE\\Velnor\\Plugins\\Nested", place.view));
        }
    }
}

TEST_F(RemoverTest, SecondStageRunsTheSequenceAndDeletesTheProductKeyEverywhere) {
    TempFolder install(L"tavo install");
    LayKeys(install.path());
    const std::wstring exe = BinPath(L"TavoRemover.exe");
    tavo::capture::Result result = Run(exe, L"/TempUninstall");
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(tavo::test::Unix(result.output),
              "Run TavoRemover.exe!\n\n" + Banner("TRY TO DELETE TEMP FILE"));
    const std::vector<std::string> debug = result.TextsOf(result.pid);
    const std::vector<std::string> expectedStart = {InitLine(Ansi(exe), false), "VELNORLOGInitialize\n",
                                                    "Run TavoRemover.exe!\n", "verify cmdline succ!\n",
                                                    "Exit TavoRemover.exe!\n"};
    ASSERT_GE(debug.size(), expectedStart.size());
    EXPECT_TRUE(SameLines(std::vector<std::string>(debug.begin(), debug.begin() + 5), expectedStart));
    for (const Place& place : places_) {
        EXPECT_FALSE(KeyExists(place.root, kProductKey, place.view));
        EXPECT_TRUE(KeyExists(place.root, kNeighbourKey, place.view));
    }
}

TEST_F(RemoverTest, SecondStageOn32BitViewOnlyLeaves64BitKeyOn32BitWindows) {
    if (Is64BitWindows()) return;  // the 64-bit view exists only on 64-bit Windows
    LayKeys(L"C:\\nowhere");
    tavo::capture::Result result = Run(BinPath(L"TavoRemover.exe"), L"/TempUninstall");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProductKey, 0));
}

// The first stage from an install folder, as the uninstall entry and the Start-menu shortcut start it,
// with a temporary folder whose path holds blanks.
void RelocateAndUninstall(RemoverTest& test, const std::wstring& argument) {
    TempFolder install(L"Tavo Suite");
    TempFolder temp(L"tavo temp folder");
    const std::wstring tempWithSlash = temp.path() + L"\\";
    tavo::test::ScopedEnv tmp(L"TMP", tempWithSlash.c_str());
    tavo::test::ScopedEnv tempVar(L"TEMP", tempWithSlash.c_str());
    const std::wstring remover = install / L"TavoRemover.exe";
    ASSERT_TRUE(CopyFileW(BinPath(L"TavoRemover.exe").c_str(), remover.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(BinPath(L"fixtures\\vlrtrace\\both\\vlrtrace.dll").c_str(),
                          (install / L"vlrtrace.dll").c_str(), FALSE));
    test.LayKeys(install.path());
    tavo::test::ScopedEnv log(L"TAVO_TRACE_LOG", (temp / L"trace.log").c_str());
    const std::wstring copy = temp / L"Launchlet.exe";

    tavo::capture::Result result = test.Run(remover, argument, [&] {
        return tavo::capture::IsImageRunning(L"Launchlet.exe") || tavo::test::FileExists(copy) ||
               tavo::capture::IsImageRunning(L"cmd.exe");
    });
    ASSERT_TRUE(result.started);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(tavo::test::Unix(result.output), Banner("TRY TO MOVE FILE TO TEMP"));
    EXPECT_FALSE(tavo::test::FileExists(remover)) << "the program left the install folder";
    EXPECT_FALSE(tavo::test::FileExists(copy)) << "the copy deleted itself";
    EXPECT_TRUE(tavo::test::FileExists(temp / L"vlrtrace.dll"));
    for (const Place& place : test.places_) EXPECT_FALSE(KeyExists(place.root, kProductKey, place.view));

    // The copy bound the copied trace library from its own folder and ran the sequence.
    const std::string copyNarrow = Ansi(copy);
    bool copyBound = false, copyRan = false;
    for (const auto& line : result.debug) {
        if (line.pid == result.pid) continue;
        if (line.text.find("InitVLRTRACER") != std::string::npos &&
            line.text.find("szInstancePath=" + copyNarrow) != std::string::npos &&
            line.text.find("g_hVlrTracer=0x00000000") == std::string::npos) {
            copyBound = true;
        }
        if (line.text == "Exit TavoRemover.exe!\n") copyRan = true;
    }
    EXPECT_TRUE(copyBound);
    EXPECT_TRUE(copyRan);
    const std::vector<std::string> firstStage = result.TextsOf(result.pid);
    ASSERT_GE(firstStage.size(), 3u);
    EXPECT_EQ(firstStage[2], "Run TavoRemover.exe!\n");
}

TEST_F(RemoverTest, ManualUninstallRelocatesAndTheCopyRemovesItself) {
    RelocateAndUninstall(*this, L"/ManualUninstall");
}

TEST_F(RemoverTest, ShortFormIsCaseInsensitive) { RelocateAndUninstall(*this, L"/MAUNI"); }

}  // namespace
