#include "trace/trace.h"

CAutoFunTrace::CAutoFunTrace(const char* name, TraceArg* p1, TraceArg* p2, TraceArg* p3, TraceArg* p4,
                             TraceArg* p5, TraceArg* p6, TraceArg* p7, TraceArg* p8, TraceArg* p9,
                             TraceArg* p10)
    : m_name(name ? name : "") {
    const std::string entry = "--> " + m_name;
    TraceFunction(entry.c_str(), p1, p2, p3, p4, p5, p6, p7, p8, p9, p10);
}

CAutoFunTrace::CAutoFunTrace(const wchar_t* name, TraceArg* p1, TraceArg* p2, TraceArg* p3, TraceArg* p4,
                             TraceArg* p5, TraceArg* p6, TraceArg* p7, TraceArg* p8, TraceArg* p9,
                             TraceArg* p10)
    : m_name(WideToAnsi(name)) {
    const std::string entry = "--> " + m_name;
    TraceFunction(entry.c_str(), p1, p2, p3, p4, p5, p6, p7, p8, p9, p10);
}

CAutoFunTrace::~CAutoFunTrace() {
    // A destructor must not throw: an exception from the exit line (memory exhaustion) is dropped here,
    // after the trace facility has reported it.
    try {
        const std::string exit = "<-- " + m_name;
        TraceFunction(exit.c_str());
    } catch (...) {
    }
}
