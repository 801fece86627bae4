// Runs the probe programs built beside the test programs (common_debug_probe.exe, session_probe.exe,
// process_probe.exe) with one case and records their output and the debug messages they write.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "debug_capture.h"
#include "test_support.h"

struct ProbeResult {
    bool started = false;
    DWORD exitCode = 0;
    std::string output;              // standard output, line ends as printed
    std::vector<std::string> debug;  // every debug message of the probe, in order
};

inline ProbeResult RunProbe(const char* probeCase) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring folder(self);
    folder.resize(folder.find_last_of(L'\\') + 1);
    tavo::capture::Options options;
    options.commandLine = L"\"" + folder + L"common_debug_probe.exe\" ";
    for (const char* p = probeCase; *p; ++p) options.commandLine.push_back(static_cast<wchar_t>(*p));
    const tavo::capture::Result result = tavo::capture::Run(options);
    ProbeResult probe;
    probe.started = result.started;
    probe.exitCode = result.exitCode;
    probe.output = result.output;
    probe.debug = result.TextsOf(result.pid);
    return probe;
}

// The output without carriage returns.
inline std::string Lines(const std::string& output) {
    std::string text;
    for (char c : output)
        if (c != '\r') text.push_back(c);
    return text;
}

// A probe run: its printed output (plain line feeds) and its own debug lines, without the trace facility's
// binding lines.
struct ProbeRun {
    std::string output;
    std::vector<std::string> lines;
    DWORD exitCode = 0;
};

// Runs `program` (a file of the bin folder) with `arguments`.
inline ProbeRun RunProbeProgram(const wchar_t* program, const std::wstring& arguments) {
    tavo::capture::Options options;
    options.commandLine = L"\"" + tavo::test::BinPath(program) + L"\" " + arguments;
    const tavo::capture::Result result = tavo::capture::Run(options);
    EXPECT_TRUE(result.started);
    ProbeRun run;
    run.exitCode = result.exitCode;
    run.output = tavo::test::Unix(result.output);
    for (const std::string& text : result.TextsOf(result.pid)) {
        if (text.rfind("QXRvt51827 ", 0) == 0) continue;
        run.lines.push_back(text);
    }
    return run;
}

// A trace line as it arrives without a trace library.
inline std::vector<std::string> Traced(const std::string& line) { return {"Trace lib invalid\n", line}; }

inline std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}
