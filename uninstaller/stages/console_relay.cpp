// The copy's console lines relayed to the first stage's console, and the refusal of Ctrl+C and Ctrl+Break.
#include <windows.h>

#include <string>

#include "console/console.h"
#include "stages/stages.h"

namespace {

BOOL WINAPI RefuseInterruption(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    ReportLine(kInterruptionRefused);
    return TRUE;
}

// Writes all of `bytes` to `output`; false at the first failure.
bool WriteAll(HANDLE output, const char* bytes, size_t count) {
    while (count > 0) {
        DWORD written = 0;
        const DWORD piece = count > 65536 ? 65536 : static_cast<DWORD>(count);
        if (!WriteFile(output, bytes, piece, &written, nullptr) || written == 0) return false;
        bytes += written;
        count -= written;
    }
    return true;
}

// Writes the UTF-8 text to a console as characters; false at the first failure.
bool WriteToConsole(HANDLE console, const std::string& utf8) {
    const int count = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (count <= 0) return utf8.empty();
    std::wstring text(static_cast<size_t>(count), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), count);
    const wchar_t* next = text.data();
    size_t left = text.size();
    while (left > 0) {
        DWORD written = 0;
        const DWORD piece = left > 8192 ? 8192 : static_cast<DWORD>(left);
        if (!WriteConsoleW(console, next, piece, &written, nullptr) || written == 0) return false;
        next += written;
        left -= written;
    }
    return true;
}

// The length of the longest beginning of `text` that ends after a whole UTF-8 character.
size_t WholeCharacters(const std::string& text) {
    size_t end = text.size();
    // Back over at most three continuation bytes to the lead byte of the last character.
    size_t lead = end;
    while (lead > 0 && end - lead < 4 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) --lead;
    if (lead == 0) return end;
    const unsigned char first = static_cast<unsigned char>(text[lead - 1]);
    const size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
    return end - (lead - 1) < length ? lead - 1 : end;
}

}  // namespace

void RefuseInterruptions() { SetConsoleCtrlHandler(RefuseInterruption, TRUE); }

ConsoleRelay::~ConsoleRelay() { Finish(0); }

bool ConsoleRelay::Open() {
    SECURITY_ATTRIBUTES notInherited = {sizeof(notInherited), nullptr, FALSE};
    HANDLE reader = nullptr, writer = nullptr;
    if (!CreatePipe(&reader, &writer, &notInherited, 0)) return false;
    reader_.reset(reader);
    writer_.reset(writer);
    return true;
}

void ConsoleRelay::Start() {
    writer_.reset();
    if (!reader_ || thread_) return;
    // The thread owns the reading end from here on, and closes it at the pipe's end.
    HANDLE reader = reader_.release();
    thread_.reset(CreateThread(nullptr, 0, &ConsoleRelay::Run, reader, 0, nullptr));
    if (!thread_) CloseHandle(reader);
}

void ConsoleRelay::Finish(DWORD milliseconds) {
    if (!thread_) return;
    // A thread still reading past the wait (a program the copy started still holds the pipe) is left to
    // the process's end.
    WaitForSingleObject(thread_.get(), milliseconds);
    thread_.reset();
}

DWORD WINAPI ConsoleRelay::Run(void* reader) {
    const tavo::ScopedHandle pipe(static_cast<HANDLE>(reader));
    Relay(pipe.get());
    return 0;
}

void ConsoleRelay::Relay(HANDLE reader) {
    try {
        const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
        DWORD mode = 0;
        const bool console = output && output != INVALID_HANDLE_VALUE && GetConsoleMode(output, &mode);
        std::string pending;
        char buffer[4096];
        DWORD read = 0;
        // Read to the pipe's end; a console or output that fails is not written any more, the pipe is
        // still drained so that the copy never waits on a full pipe.
        bool writing = output && output != INVALID_HANDLE_VALUE;
        while (ReadFile(reader, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
            if (!writing) continue;
            if (!console) {
                writing = WriteAll(output, buffer, read);
                continue;
            }
            pending.append(buffer, read);
            const size_t whole = WholeCharacters(pending);
            writing = WriteToConsole(output, pending.substr(0, whole));
            pending.erase(0, whole);
        }
        if (writing && console && !pending.empty()) WriteToConsole(output, pending);
    } catch (...) {
    }
}
