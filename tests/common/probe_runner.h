// Runs common_debug_probe.exe (built beside the test programs) with one case and records its output and
// the debug messages it writes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "debug_capture.h"

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
