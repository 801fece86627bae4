#include "seh/seh_guard.h"

#include <intrin.h>

#if !defined(__i386__)
#error "The frame-based structured-exception guard is written for 32-bit x86."
#endif

namespace tavo {
namespace {

constexpr DWORD kUnwinding = 0x2;   // EXCEPTION_UNWINDING
constexpr DWORD kExitUnwind = 0x4;  // EXCEPTION_EXIT_UNWIND

struct RegistrationRecord {
    RegistrationRecord* next;
    void* handler;
};

// The registration record comes first: fs:0 and the establisher frame point at it.
struct GuardFrame {
    RegistrationRecord record;
    void* resume[5];
    SehFilter filter;
    void* filterContext;
    DWORD code;
};

RegistrationRecord* ChainHead() { return reinterpret_cast<RegistrationRecord*>(__readfsdword(0)); }
void SetChainHead(RegistrationRecord* head) { __writefsdword(0, reinterpret_cast<DWORD>(head)); }

extern "C" EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* record, void* establisher, CONTEXT*,
                                                      void*) {
    auto* frame = static_cast<GuardFrame*>(establisher);
    if (record->ExceptionFlags & (kUnwinding | kExitUnwind)) return ExceptionContinueSearch;
    if (frame->filter(*record, frame->filterContext) != SehVerdict::kHandle) return ExceptionContinueSearch;
    frame->code = record->ExceptionCode;
    // Let every frame registered after ours run its unwind handler and take it off the chain, then
    // take our own record off and resume after the guarded call.
    RtlUnwind(&frame->record, nullptr, record, nullptr);
    SetChainHead(frame->record.next);
    __builtin_longjmp(frame->resume, 1);
}

// Puts the chain back when a C++ exception leaves the body.
struct ChainRestorer {
    RegistrationRecord* saved;
    ~ChainRestorer() { SetChainHead(saved); }
};

}  // namespace

bool RunSehGuarded(SehBody body, void* bodyContext, SehFilter filter, void* filterContext,
                   DWORD* handledCode) {
    GuardFrame frame{};
    frame.record.handler = reinterpret_cast<void*>(&GuardHandler);
    frame.filter = filter;
    frame.filterContext = filterContext;
    frame.record.next = ChainHead();
    if (__builtin_setjmp(frame.resume) == 0) {
        ChainRestorer restorer{frame.record.next};
        SetChainHead(&frame.record);
        body(bodyContext);
        return true;
    }
    if (handledCode) *handledCode = frame.code;
    return false;
}

}  // namespace tavo
