// Structured-exception guard for i686 GCC builds, which have no __try.
//
// RunSehGuarded pushes an exception registration record on the thread's fs:0 chain, runs the body and
// pops the record again. When a structured exception is raised inside the body, the filter decides: to
// handle it, the guard unwinds the inner frames (RtlUnwind), restores the chain and resumes right after
// the call with a false result; to pass it on, the exception continues to the outer handlers.
//
// C++ exceptions (DWARF-2 unwinding) do not travel through the fs:0 chain; they leave the body as usual
// and the guard restores the chain on their way out. C++ destructors between the faulting point and the
// guard do not run when the guard handles a structured exception.
#pragma once

#include <windows.h>

namespace tavo {

enum class SehVerdict { kHandle, kPassOn };

using SehFilter = SehVerdict (*)(const EXCEPTION_RECORD& record, void* context);
using SehBody = void (*)(void* context);

// Returns true when the body returned normally, false when the filter handled an exception. The code of a
// handled exception is stored in *handledCode when that pointer is given.
bool RunSehGuarded(SehBody body, void* bodyContext, SehFilter filter, void* filterContext,
                   DWORD* handledCode = nullptr);

// Convenience form for callables: body() and filter(const EXCEPTION_RECORD&) -> SehVerdict.
template <class Body, class Filter>
bool SehTry(Body body, Filter filter, DWORD* handledCode = nullptr) {
    SehBody runBody = [](void* context) { (*static_cast<Body*>(context))(); };
    SehFilter runFilter = [](const EXCEPTION_RECORD& record, void* context) -> SehVerdict {
        return (*static_cast<Filter*>(context))(record);
    };
    return RunSehGuarded(runBody, &body, runFilter, &filter, handledCode);
}

}  // namespace tavo
