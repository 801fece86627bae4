// The trace facility in a real program (trace_probe.exe) beside each build of the trace library, with its
// debug output read as a debug monitor reads it.
#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "debug_capture.h"
#include "test_support.h"

using tavo::test::BinPath;
using tavo::test::SameLines;
using tavo::test::TempFolder;
using tavo::test::TraceRecord;

namespace {

struct ProbeRun {
    tavo::capture::Result result;
    std::vector<std::string> debug;  // the probe's own debug lines
    std::vector<TraceRecord> records;
    std::string exePath;  // narrow, as the binding line shows it
    std::string output;
};

// variant: "both", "plain", "resident", "none" (a library without the exports) or "" (no library).
ProbeRun RunProbe(const std::wstring& variant, const std::wstring& arguments,
                  std::function<void()> whileRunning = nullptr) {
    TempFolder folder(L"tavo-trace");
    const std::wstring exe = folder / L"trace_probe.exe";
    EXPECT_TRUE(CopyFileW(BinPath(L"trace_probe.exe").c_str(), exe.c_str(), FALSE));
    if (!variant.empty()) {
        EXPECT_TRUE(CopyFileW(BinPath(L"fixtures\\vlrtrace\\" + variant + L"\\vlrtrace.dll").c_str(),
                              (folder / L"vlrtrace.dll").c_str(), FALSE));
    }
    tavo::test::ScopedEnv log(L"TAVO_TRACE_LOG", (folder / L"trace.log").c_str());
    tavo::capture::Options options;
    options.commandLine = L"\"" + exe + L"\" " + arguments;
    std::thread helper;
    if (whileRunning) helper = std::thread(whileRunning);
    ProbeRun run;
    run.result = tavo::capture::Run(options);
    if (helper.joinable()) helper.join();
    EXPECT_TRUE(run.result.started);
    EXPECT_EQ(run.result.exitCode, 0u);
    run.debug = run.result.TextsOf(run.result.pid);
    run.records = tavo::test::ReadTraceRecords(folder / L"trace.log");
    run.exePath = tavo::test::Ansi(exe);
    run.output = tavo::test::Unix(run.result.output);
    return run;
}

std::string InitLine(const std::string& binding, const std::string& instancePath) {
    return "QXRvt51827 InitVLRTRACER: " + binding + ", szInstancePath=" + instancePath + "\r\n";
}

std::string UninitLine(const std::string& binding) {
    return "QXRvt51827 UninitVLRTRACER: " + binding + "\r\n";
}

// The "binding ..." line the probe prints, without its prefix: the values as the binding lines show them.
std::string BindingFromOutput(const std::string& output, size_t index = 0) {
    size_t position = 0;
    for (size_t i = 0; i <= index; ++i) {
        position = output.find("binding ", position);
        if (position == std::string::npos) return "";
        if (i < index) position += 8;
    }
    position += 8;
    return output.substr(position, output.find('\n', position) - position);
}

// A record as one line: "<export> <level> <tag> <third argument> <text>".
std::string RecordLine(const TraceRecord& record) {
    return record.exportName + " " + std::to_string(record.level) + " " + record.tag + " " +
           std::to_string(record.reserved) + " " + record.text;
}

std::vector<std::string> RecordLines(const std::vector<TraceRecord>& records) {
    std::vector<std::string> lines;
    for (const TraceRecord& record : records) lines.push_back(RecordLine(record));
    return lines;
}

const std::string kUnbound =
    "g_pfnVLRTRACEA=0x00000000, g_pfnVlrTraceResident=0x00000000, g_hVlrTracer=0x00000000";

TEST(TraceFacility, WithoutLibraryEveryLineFallsBackToDebugOutput) {
    ProbeRun run = RunProbe(L"", L"basic");
    const std::vector<std::string> expected = {
        InitLine(kUnbound, run.exePath),
        "VELNORLOGInitialize\n",
        InitLine(kUnbound, run.exePath),  // the one late attempt of the first trace call
        "Trace lib invalid\n",
        " abc,\n",
        UninitLine(kUnbound),
        "~VELNORLOGInitialize\n",
    };
    EXPECT_TRUE(SameLines(run.debug, expected));
}

TEST(TraceFacility, BothExportsPresentOnlyResidentIsCalledWithItsTag) {
    ProbeRun run = RunProbe(L"both", L"levels");
    const std::string binding = BindingFromOutput(run.output);
    ASSERT_NE(binding, kUnbound);
    EXPECT_TRUE(SameLines(run.debug, {InitLine(binding, run.exePath), "VELNORLOGInitialize\n",
                                      UninitLine(binding), "~VELNORLOGInitialize\n"}));
    const std::vector<std::pair<int, std::string>> expected = {
        {1, " one,\n"}, {2, " two,\n"}, {4, " four,\n"}, {8, " eight,\n"}, {2, "Probe::Function x=1,\n"},
        {2, " \n"}};
    std::vector<std::string> expectedLines;
    for (const auto& [level, text] : expected)
        expectedLines.push_back(RecordLine({"VLRTRACERAWA_RESIDENT", level, "PLU", 0, text}));
    EXPECT_TRUE(SameLines(RecordLines(run.records), expectedLines));
}

TEST(TraceFacility, SingleExportBuildsAndExportlessLibrary) {
    ProbeRun plain = RunProbe(L"plain", L"basic");
    ASSERT_EQ(plain.records.size(), 1u);
    EXPECT_EQ(plain.records[0].exportName, "VLRTRACERAWA");
    EXPECT_EQ(plain.records[0].tag, "(null)");
    EXPECT_EQ(plain.records[0].text, " abc,\n");

    ProbeRun resident = RunProbe(L"resident", L"basic");
    ASSERT_EQ(resident.records.size(), 1u);
    EXPECT_EQ(resident.records[0].exportName, "VLRTRACERAWA_RESIDENT");
    EXPECT_EQ(resident.records[0].tag, "PLU");

    // Loaded but useless: the library stays bound, lines fall back, and the late attempt loads nothing.
    ProbeRun none = RunProbe(L"none", L"basic");
    const std::string binding = BindingFromOutput(none.output);
    EXPECT_EQ(
        binding.rfind("g_pfnVLRTRACEA=0x00000000, g_pfnVlrTraceResident=0x00000000, g_hVlrTracer=0x", 0), 0u);
    EXPECT_NE(binding, kUnbound);
    const std::vector<std::string> expected = {InitLine(binding, none.exePath),
                                               "VELNORLOGInitialize\n",
                                               InitLine(binding, ""),
                                               "Trace lib invalid\n",
                                               " abc,\n",
                                               UninitLine(binding),
                                               "~VELNORLOGInitialize\n"};
    EXPECT_TRUE(SameLines(none.debug, expected));
    EXPECT_TRUE(none.records.empty());
}

TEST(TraceFacility, ValueTextsOfEveryType) {
    ProbeRun run = RunProbe(L"both", L"values");
    ASSERT_EQ(run.records.size(), 3u);
    EXPECT_EQ(run.records[0].text,
              " s=narrow,w=wide,c=x,i=-5,u=4294967295,l=-7,ul=3000000000,ll=-9000000000,"
              "ull=18000000000000000000,b=TRUE,\n");
    EXPECT_EQ(run.records[1].text,
              " f2=3.14,f0=2.,p=0x00001234,g=0A1B2C3D-4E5F-0607-0809-AABBCCDDEE0F,bf=FALSE,ns=,nw=,e=,\n");
    EXPECT_EQ(run.records[2].text, " v,n=,,\n");
}

TEST(TraceFacility, LinesAreCutInto2047CharacterPieces) {
    // A line is one space, the value, a comma and a line feed: three characters more than the value.
    struct Case {
        int valueLength;
        std::vector<size_t> pieces;
    };
    for (const Case& c : {Case{2044, {2047}}, Case{2045, {2047, 1}}, Case{4997, {2047, 2047, 906}}}) {
        ProbeRun run = RunProbe(L"both", L"long " + std::to_wstring(c.valueLength));
        ASSERT_EQ(run.records.size(), c.pieces.size()) << c.valueLength;
        std::string joined;
        for (size_t i = 0; i < c.pieces.size(); ++i) {
            EXPECT_EQ(run.records[i].text.size(), c.pieces[i]);
            EXPECT_EQ(run.records[i].level, 4);
            joined += run.records[i].text;
        }
        EXPECT_EQ(joined, " " + std::string(static_cast<size_t>(c.valueLength), 'a') + ",\n");
        EXPECT_EQ(run.records.back().text.back(), '\n');
    }
}

TEST(TraceFacility, SecondInitLoadsNothingAndShowsAnEmptyPath) {
    ProbeRun run = RunProbe(L"both", L"reinit");
    const std::string binding = BindingFromOutput(run.output);
    ASSERT_GE(run.debug.size(), 3u);
    EXPECT_EQ(run.debug[2], InitLine(binding, ""));
}

TEST(TraceFacility, OneLateBindingAttemptPerProcess) {
    ProbeRun run = RunProbe(L"both", L"late");
    const std::string atStart = BindingFromOutput(run.output, 0);
    const std::string afterLate = BindingFromOutput(run.output, 1);
    EXPECT_NE(afterLate, kUnbound);  // the first call after the release bound the library again
    EXPECT_EQ(BindingFromOutput(run.output, 2), kUnbound);  // the second did not try again
    const std::vector<std::string> expected = {InitLine(atStart, run.exePath),
                                               "VELNORLOGInitialize\n",
                                               UninitLine(atStart),
                                               InitLine(afterLate, run.exePath),
                                               UninitLine(afterLate),
                                               "Trace lib invalid\n",
                                               " second,\n",
                                               UninitLine(kUnbound),
                                               "~VELNORLOGInitialize\n"};
    EXPECT_TRUE(SameLines(run.debug, expected));
    ASSERT_EQ(run.records.size(), 1u);
    EXPECT_EQ(run.records[0].text, " first,\n");
}

TEST(TraceFacility, AccessViolationInsideTracingIsSwallowed) {
    ProbeRun run = RunProbe(L"both", L"av");
    ASSERT_GE(run.debug.size(), 3u);
    EXPECT_EQ(run.debug[2], "caught AV as expected.");
    ASSERT_EQ(run.records.size(), 1u);  // the faulting line is lost, the program goes on
    EXPECT_EQ(run.records[0].text, " after,\n");
}

TEST(TraceFacility, OtherExceptionsTravelOnToTheCaller) {
    ProbeRun run = RunProbe(L"both", L"raise");
    EXPECT_NE(run.output.find("completed=0 code=0xE0000123"), std::string::npos) << run.output;
    ASSERT_GE(run.debug.size(), 3u);
    EXPECT_EQ(run.debug[2], "didn't catch AV, unexpected.");
}

TEST(TraceFacility, ScopesWriteEntryAndExitLinesAlsoWhenLeftByAnException) {
    ProbeRun run = RunProbe(L"both", L"scopes");
    EXPECT_NE(run.output.find("caught: leaving by exception"), std::string::npos);
    std::vector<std::string> texts;
    for (const auto& record : run.records) texts.push_back(record.text);
    EXPECT_TRUE(SameLines(texts, {"--> Probe::Wide lpszPath=C:\\x,\n", "<-- Probe::Wide \n",
                                  "--> Probe::ScopeThatThrows \n", "<-- Probe::ScopeThatThrows \n"}));
    for (const auto& record : run.records) EXPECT_EQ(record.level, 2);
}

TEST(TraceFacility, DebugModeShowsTheAccessViolationBox) {
    if (GetEnvironmentVariableW(L"TAVO_EMULATED_I386", nullptr, 0) != 0) {
        // Under processor emulation, reaching into another process's message box ends this test
        // program (the emulated Wine faults); the box is shown, but not checked here.
        printf("skipped: processor emulated\n");
        return;
    }
    tavo::test::ScopedEnv debugMode(L"TavoDebugMode", L"1x");
    std::wstring boxText, boxCaption;
    ProbeRun run = RunProbe(L"both", L"av", [&] {
        for (int i = 0; i < 600 && boxText.empty(); ++i) {
            Sleep(100);
            HWND box = FindWindowW(L"#32770", nullptr);
            if (!box) continue;
            wchar_t text[512] = {}, caption[512] = {};
            GetDlgItemTextW(box, 0xFFFF, text, 512);
            // A box found while it is still being built has no text yet: close it only once read.
            if (!text[0]) continue;
            GetWindowTextW(box, caption, 512);
            boxText = text;
            boxCaption = caption;
            PostMessageW(box, WM_COMMAND, IDOK, 0);
        }
    });
    EXPECT_EQ(boxText, L"AV exception occured!");
    EXPECT_NE(boxCaption.find(L"trace_probe.exe"), std::wstring::npos);
    ASSERT_GE(run.debug.size(), 3u);
    EXPECT_EQ(run.debug[2], "caught AV as expected.");
    ASSERT_EQ(run.records.size(), 1u);
    EXPECT_EQ(run.records[0].text, " after,\n");
}

}  // namespace
