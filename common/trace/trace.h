// Structured trace lines and the binding of the product's trace library (vlrtrace.dll).
//
// A trace call names a level (1, 2, 4 or 8) and up to ten name/value pairs. The pairs are joined into one
// narrow line and handed to the trace library, or, when none is bound, to OutputDebugStringA behind the
// line "Trace lib invalid\n". Every entry point runs inside an access-violation guard: a fault inside the
// tracing code is swallowed and the program goes on.
#pragma once

#include <windows.h>

#include <string>

class CVarAdapter;

struct TraceArg {
    const char* name;          // may be null: then only the value is written
    const CVarAdapter* value;  // may be null: then nothing is written for the value
};

using PFN_VLRTRACERAW = void(__cdecl*)(int level, const char* tag, int reserved, const char* text);

extern HMODULE g_hVlrTracer;
extern PFN_VLRTRACERAW g_pfnVLRTRACEA;
extern PFN_VLRTRACERAW g_pfnVlrTraceResident;
extern int g_bTraceLazyInit;

void InitVLRTRACER();
void UninitVLRTRACER();

// True when the environment variable "TavoDebugMode" begins with '1'; read anew at every call.
bool IsTavoDebugMode();

#define TAVO_TRACE_PAIRS                                                                                     \
    TraceArg *p1 = nullptr, TraceArg *p2 = nullptr, TraceArg *p3 = nullptr, TraceArg *p4 = nullptr,          \
             TraceArg *p5 = nullptr, TraceArg *p6 = nullptr, TraceArg *p7 = nullptr, TraceArg *p8 = nullptr, \
             TraceArg *p9 = nullptr, TraceArg *p10 = nullptr

// The pair list ends at the first null pointer.
void TraceLevel1(TAVO_TRACE_PAIRS);
void TraceLevel2(TAVO_TRACE_PAIRS);
void TraceLevel4(TAVO_TRACE_PAIRS);
void TraceLevel8(TAVO_TRACE_PAIRS);
void TraceFunction(const char* name, TAVO_TRACE_PAIRS);

// The common core of the entry points; runs unguarded. `pairs` holds up to ten pointers and ends at the
// first null one.
void TraceWrite(int level, const char* name, TraceArg* const* pairs);

// One value of a trace pair, formatted once at construction.
class CVarAdapter {
  public:
    explicit CVarAdapter(const char* text);
    explicit CVarAdapter(const wchar_t* text);
    explicit CVarAdapter(char character);
    explicit CVarAdapter(int value);
    explicit CVarAdapter(unsigned int value);
    explicit CVarAdapter(long value);
    explicit CVarAdapter(unsigned long value);
    explicit CVarAdapter(long long value);
    explicit CVarAdapter(unsigned long long value);
    explicit CVarAdapter(bool value);
    CVarAdapter(double value, int precision);
    explicit CVarAdapter(const void* pointer);
    explicit CVarAdapter(const GUID& guid);
    virtual ~CVarAdapter() = default;

    const std::string& Text() const { return m_text; }

  private:
    std::string m_text;
};

// Writes "--> name " (and the pairs) when made and "<-- name " when the scope is left, on every path.
class CAutoFunTrace {
  public:
    explicit CAutoFunTrace(const char* name, TAVO_TRACE_PAIRS);
    explicit CAutoFunTrace(const wchar_t* name, TAVO_TRACE_PAIRS);
    virtual ~CAutoFunTrace();
    CAutoFunTrace(const CAutoFunTrace&) = delete;
    CAutoFunTrace& operator=(const CAutoFunTrace&) = delete;

  private:
    std::string m_name;
};

// The static object of each program that binds the trace library before the entry point runs and
// releases it after the entry point returns.
class VELNORLOGInitialize {
  public:
    VELNORLOGInitialize();
    ~VELNORLOGInitialize();
    VELNORLOGInitialize(const VELNORLOGInitialize&) = delete;
    VELNORLOGInitialize& operator=(const VELNORLOGInitialize&) = delete;
};

// A name/value pair made on the caller's stack, for the common case of a trace call with a few pairs:
//     TraceLevel2(TracePair(nullptr, "RegCOMDLL").get(), TracePair("lpszFilePath", path).get());
class TracePair {
  public:
    template <class T>
    TracePair(const char* name, T value) : m_value(value), m_arg{name, &m_value} {}
    TracePair(const TracePair&) = delete;
    TracePair& operator=(const TracePair&) = delete;
    TraceArg* get() { return &m_arg; }

  private:
    CVarAdapter m_value;
    TraceArg m_arg;
};

// ANSI code page conversion shared by the trace facility.
std::string WideToAnsi(const wchar_t* text);
