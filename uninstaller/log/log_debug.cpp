// The debug lines of the process in the log. OutputDebugStringA raises the exception DBG_PRINTEXCEPTION_C
// with the text, and OutputDebugStringW on Windows 10 and later first raises DBG_PRINTEXCEPTION_WIDE_C
// with the wide and the converted text (then, when no debugger takes it, OutputDebugStringA with the
// converted text). A vectored handler sees each of them before anything else in the process (before the
// system's own handler hands the text to a debug monitor) and lets it go on unchanged: so every debug line
// of every part of the program, the support library's included, reaches the log without a change to a
// single caller. Under a debugger, which takes the exception first, the debugger shows the lines instead.
// (Wine 8 raises only the narrow form: it converts a wide text to the ANSI code page first.)
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "log/log_detail.h"

namespace {

constexpr DWORD kPrintException = 0x40010006;      // DBG_PRINTEXCEPTION_C
constexpr DWORD kPrintExceptionWide = 0x4001000A;  // DBG_PRINTEXCEPTION_WIDE_C

struct DebugLines {
    PVOID handler = nullptr;
    // The narrow text that the system raises again, from the same buffer, after a wide line it raised on
    // this thread: not written twice.
    DWORD repeatThread = 0;
    const char* repeatBuffer = nullptr;
    std::string repeat;
};

DebugLines& State() {
    static DebugLines lines;
    return lines;
}

// A debug text as log lines: one per line it holds; line ends close a line (a text of nothing but line
// ends, as a caller writes after a text of its own, adds none).
void WriteText(const std::wstring& text) {
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find_first_of(L"\r\n", begin);
        if (end == std::wstring::npos) end = text.size();
        if (end > begin) tavo::log::WriteLine(L"debug", text.substr(begin, end - begin));
        begin = end + 1;
    }
}

std::wstring FromAnsi(const char* text, size_t length) {
    if (length == 0) return L"";
    const int chars = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0);
    if (chars <= 0) return L"";
    std::wstring wide(static_cast<size_t>(chars), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), wide.data(), chars);
    return wide;
}

LONG CALLBACK OnDebugText(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers ? pointers->ExceptionRecord : nullptr;
    if (!record || (record->ExceptionCode != kPrintException && record->ExceptionCode != kPrintExceptionWide))
        return EXCEPTION_CONTINUE_SEARCH;
    try {
        DebugLines& state = State();
        const ULONG_PTR* info = record->ExceptionInformation;
        if (record->ExceptionCode == kPrintExceptionWide && record->NumberParameters >= 2 && info[1]) {
            // Lengths count the terminating zero.
            const wchar_t* text = reinterpret_cast<const wchar_t*>(info[1]);
            WriteText(std::wstring(text, info[0] ? wcsnlen(text, info[0]) : wcslen(text)));
            state.repeat.clear();
            if (record->NumberParameters >= 4 && info[3]) {
                const char* narrow = reinterpret_cast<const char*>(info[3]);
                state.repeat.assign(narrow, info[2] ? strnlen(narrow, info[2]) : strlen(narrow));
                state.repeatBuffer = narrow;
                state.repeatThread = GetCurrentThreadId();
            }
        } else if (record->ExceptionCode == kPrintException && record->NumberParameters >= 2 && info[1]) {
            const char* text = reinterpret_cast<const char*>(info[1]);
            const size_t length = info[0] ? strnlen(text, info[0]) : strlen(text);
            if (state.repeatThread == GetCurrentThreadId() && state.repeatBuffer == text &&
                state.repeat.size() == length && std::memcmp(state.repeat.data(), text, length) == 0) {
                state.repeatThread = 0;
                state.repeatBuffer = nullptr;
                state.repeat.clear();
            } else {
                WriteText(FromAnsi(text, length));
            }
        }
    } catch (...) {  // out of memory: the line is lost, the program goes on
    }
    // The text goes on to a debugger or monitor as ever.
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

namespace tavo::log {

void StartDebugLines() {
    DebugLines& state = State();
    if (!state.handler) state.handler = AddVectoredExceptionHandler(1, OnDebugText);
}

void StopDebugLines() {
    DebugLines& state = State();
    if (state.handler) RemoveVectoredExceptionHandler(state.handler);
    state.handler = nullptr;
}

}  // namespace tavo::log
