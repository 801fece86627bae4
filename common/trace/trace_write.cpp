#include <sstream>
#include <vector>

#include "seh/seh_guard.h"
#include "trace/trace.h"

namespace {

constexpr size_t kPieceLength = 2047;
constexpr DWORD kAccessViolation = 0xC0000005;

void DispatchPiece(int level, const char* piece) {
    if (g_pfnVlrTraceResident) {
        g_pfnVlrTraceResident(level, "PLU", 0, piece);
    } else if (g_pfnVLRTRACEA) {
        g_pfnVLRTRACEA(level, nullptr, 0, piece);
    } else {
        OutputDebugStringA("Trace lib invalid\n");
        OutputDebugStringA(piece);
    }
}

void ShowAccessViolationBox() {
    wchar_t exePath[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exePath, MAX_PATH);
    exePath[MAX_PATH - 1] = L'\0';
    MessageBoxW(nullptr, L"AV exception occured!", exePath, MB_OK);
}

tavo::SehVerdict TraceFaultFilter(const EXCEPTION_RECORD& record, void*) {
    if (record.ExceptionCode == kAccessViolation) {
        OutputDebugStringA("caught AV as expected.");
        if (IsTavoDebugMode()) ShowAccessViolationBox();
        return tavo::SehVerdict::kHandle;
    }
    OutputDebugStringA("didn't catch AV, unexpected.");
    return tavo::SehVerdict::kPassOn;
}

struct GuardedWrite {
    int level;
    const char* name;
    TraceArg* const* pairs;
};

// Runs TraceWrite inside the access-violation guard. Structured exceptions other than an access
// violation, and C++ exceptions, are reported and travel on to the caller.
void GuardedTraceWrite(int level, const char* name, TraceArg* const* pairs) {
    GuardedWrite call{level, name, pairs};
    try {
        tavo::RunSehGuarded(
            [](void* context) {
                auto* write = static_cast<GuardedWrite*>(context);
                TraceWrite(write->level, write->name, write->pairs);
            },
            &call, &TraceFaultFilter, nullptr);
    } catch (...) {
        OutputDebugStringA("didn't catch AV, unexpected.");
        throw;
    }
}

}  // namespace

std::string WideToAnsi(const wchar_t* text) {
    if (!text || !*text) return std::string();
    int bytes = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) return std::string();
    std::string result(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, result.data(), bytes, nullptr, nullptr);
    result.resize(static_cast<size_t>(bytes - 1));
    return result;
}

namespace {

// The name goes through a wide round trip in the ANSI code page, as a COM string would take it.
std::string RoundTripAnsi(const char* text) {
    int chars = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (chars <= 1) return std::string();
    std::vector<wchar_t> wide(static_cast<size_t>(chars));
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), chars);
    return WideToAnsi(wide.data());
}

}  // namespace

void TraceWrite(int level, const char* name, TraceArg* const* pairs) {
    std::ostringstream stream;
    if (name) stream << RoundTripAnsi(name) << ' ';
    for (int i = 0; i < 10 && pairs[i]; ++i) {
        const TraceArg* pair = pairs[i];
        if (pair->name) stream << pair->name << '=';
        if (pair->value) stream << pair->value->Text();
        stream << ',';
    }
    stream << '\n';

    if (!g_pfnVlrTraceResident && !g_pfnVLRTRACEA && g_bTraceLazyInit == 0) {
        g_bTraceLazyInit = 1;
        InitVLRTRACER();
    }

    const std::string line = stream.str();
    for (size_t offset = 0; offset < line.size(); offset += kPieceLength) {
        const std::string piece = line.substr(offset, kPieceLength);
        DispatchPiece(level, piece.c_str());
    }
}

#define TAVO_TRACE_PAIR_LIST p1, p2, p3, p4, p5, p6, p7, p8, p9, p10

void TraceLevel1(TraceArg* p1, TraceArg* p2, TraceArg* p3, TraceArg* p4, TraceArg* p5, TraceArg* p6,
                 TraceArg* p7, TraceArg* p8, TraceArg* p9, TraceArg* p10) {
    TraceArg* const pairs[] = {TAVO_TRACE_PAIR_LIST, nullptr};
    GuardedTraceWrite(1, "", pairs);
}

void TraceLevel2(TraceArg* p1, TraceArg* p2, TraceArg* p3, TraceArg* p4, TraceArg* p5, TraceArg* p6,
                 TraceArg* p7, TraceArg* p8, TraceArg* p9, TraceArg* p10) {
    TraceArg* const pairs[] = {TAVO_TRACE_PAIR_LIST, nullptr};
    GuardedTraceWrite(2, "", pairs);
}

void TraceLevel4(TraceArg* p1, TraceArg* p2, TraceArg* p3, TraceArg* p4, TraceArg* p5, TraceArg* p6,
                 TraceArg* p7, TraceArg* p8, TraceArg* p9, TraceArg* p10) {
    TraceArg* const pairs[] = {TAVO_TRACE_PAIR_LIST, nullptr};
    GuardedTraceWrite(4, "", pairs);
}

void TraceLevel8(TraceArg* p1, TraceArg* p2, TraceArg* p3, TraceArg* p4, TraceArg* p5, TraceArg* p6,
                 TraceArg* p7, TraceArg* p8, TraceArg* p9, TraceArg* p10) {
    TraceArg* const pairs[] = {TAVO_TRACE_PAIR_LIST, nullptr};
    GuardedTraceWrite(8, "", pairs);
}

void TraceFunction(const char* name, TraceArg* p1, TraceArg* p2, TraceArg* p3, TraceArg* p4, TraceArg* p5,
                   TraceArg* p6, TraceArg* p7, TraceArg* p8, TraceArg* p9, TraceArg* p10) {
    TraceArg* const pairs[] = {TAVO_TRACE_PAIR_LIST, nullptr};
    GuardedTraceWrite(2, name, pairs);
}
