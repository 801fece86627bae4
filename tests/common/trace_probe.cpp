// A small program that carries the trace facility as the suite's programs do (the static binding object
// first) and runs one trace scenario named on its command line. The trace tests run it beside one of the
// trace-library fixtures and read its debug output.
#include <windows.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "seh/seh_guard.h"
#include "trace/trace.h"

namespace {

VELNORLOGInitialize g_velnorLogInitialize __attribute__((init_priority(101)));

void PrintBinding() {
    printf("binding g_pfnVLRTRACEA=0x%08X, g_pfnVlrTraceResident=0x%08X, g_hVlrTracer=0x%08X\n",
           static_cast<unsigned>(reinterpret_cast<UINT_PTR>(g_pfnVLRTRACEA)),
           static_cast<unsigned>(reinterpret_cast<UINT_PTR>(g_pfnVlrTraceResident)),
           static_cast<unsigned>(reinterpret_cast<UINT_PTR>(g_hVlrTracer)));
}

void ScopeThatThrows() {
    CAutoFunTrace trace("Probe::ScopeThatThrows");
    throw std::runtime_error("leaving by exception");
}

void Values() {
    const GUID guid = {0x0A1B2C3D, 0x4E5F, 0x0607, {0x08, 0x09, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x0F}};
    TraceLevel2(TracePair("s", "narrow").get(), TracePair("w", L"wide").get(), TracePair("c", 'x').get(),
                TracePair("i", -5).get(), TracePair("u", 4294967295u).get(), TracePair("l", -7L).get(),
                TracePair("ul", 3000000000UL).get(), TracePair("ll", -9000000000LL).get(),
                TracePair("ull", 18000000000000000000ULL).get(), TracePair("b", true).get());
    CVarAdapter f2(3.14159, 2), f0(2.0, 0);
    TraceArg af2{"f2", &f2}, af0{"f0", &f0};
    TraceLevel2(&af2, &af0, TracePair("p", reinterpret_cast<const void*>(0x1234)).get(),
                TracePair("g", guid).get(), TracePair("bf", false).get(),
                TracePair("ns", static_cast<const char*>(nullptr)).get(),
                TracePair("nw", static_cast<const wchar_t*>(nullptr)).get(), TracePair("e", "").get());
    CVarAdapter value("v");
    TraceArg noName{nullptr, &value}, noValue{"n", nullptr}, nothing{nullptr, nullptr};
    TraceLevel2(&noName, &noValue, &nothing);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string scenario = argc > 1 ? argv[1] : "";
    PrintBinding();
    if (scenario == "basic") {
        TraceLevel2(TracePair(nullptr, "abc").get());
    } else if (scenario == "values") {
        Values();
    } else if (scenario == "levels") {
        TraceLevel1(TracePair(nullptr, "one").get());
        TraceLevel2(TracePair(nullptr, "two").get());
        TraceLevel4(TracePair(nullptr, "four").get());
        TraceLevel8(TracePair(nullptr, "eight").get());
        TraceFunction("Probe::Function", TracePair("x", 1).get());
        TraceLevel2();
    } else if (scenario == "long" && argc > 2) {
        const std::string value(static_cast<size_t>(atoi(argv[2])), 'a');
        TraceLevel4(TracePair(nullptr, value.c_str()).get());
    } else if (scenario == "reinit") {
        InitVLRTRACER();
    } else if (scenario == "av") {
        TraceLevel2(TracePair(nullptr, "@@AV@@").get());
        TraceLevel2(TracePair(nullptr, "after").get());
    } else if (scenario == "raise") {
        DWORD code = 0;
        bool completed = tavo::SehTry([] { TraceLevel2(TracePair(nullptr, "@@RAISE@@").get()); },
                                      [](const EXCEPTION_RECORD& record) {
                                          return record.ExceptionCode == 0xE0000123
                                                     ? tavo::SehVerdict::kHandle
                                                     : tavo::SehVerdict::kPassOn;
                                      },
                                      &code);
        printf("completed=%d code=0x%08lX\n", completed, code);
    } else if (scenario == "scopes") {
        { CAutoFunTrace trace(L"Probe::Wide", TracePair("lpszPath", L"C:\\x").get()); }
        try {
            ScopeThatThrows();
        } catch (const std::exception& error) {
            printf("caught: %s\n", error.what());
        }
    } else if (scenario == "late") {
        // Releases the binding made at start-up: the next trace call binds again, once per process.
        UninitVLRTRACER();
        TraceLevel2(TracePair(nullptr, "first").get());
        PrintBinding();
        UninitVLRTRACER();
        TraceLevel2(TracePair(nullptr, "second").get());
        PrintBinding();
    } else {
        printf("unknown scenario\n");
        return 2;
    }
    fflush(stdout);
    return 0;
}
