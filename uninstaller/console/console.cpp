#include "console/console.h"

#include <windows.h>

#include <string>

#include "log/log.h"
#include "outcome/outcome.h"

namespace {

// Writes every character, in pieces where the console takes fewer at a time; stops at the first failure.
void WriteToConsole(HANDLE console, const std::wstring& text) {
    const wchar_t* next = text.data();
    size_t left = text.size();
    while (left > 0) {
        const DWORD piece = left > 8192 ? 8192 : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteConsoleW(console, next, piece, &written, nullptr) || written == 0) return;
        next += written;
        left -= written;
    }
}

// A file or a pipe: the text as UTF-8 (characters that do not convert, such as a lone surrogate, become
// U+FFFD).
void WriteToFile(HANDLE file, const std::wstring& text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                          nullptr, nullptr);
    if (bytes <= 0) return;
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), bytes, nullptr,
                        nullptr);
    const char* next = utf8.data();
    size_t left = utf8.size();
    while (left > 0) {
        DWORD written = 0;
        if (!WriteFile(file, next, static_cast<DWORD>(left), &written, nullptr) || written == 0) return;
        next += written;
        left -= written;
    }
}

}  // namespace

void ConsoleLine(const wchar_t* text) {
    // Nothing here may throw out of the program's steps: a line that cannot be built is not written.
    try {
        std::wstring line = text ? text : L"";
        line += L"\r\n";
        const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
        LogConsoleLine(text);
        if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
        DWORD mode = 0;
        if (GetConsoleMode(output, &mode))
            WriteToConsole(output, line);
        else
            WriteToFile(output, line);
    } catch (...) {
    }
}

void ReportLine(const wchar_t* text) {
    ConsoleLine(text);
    OutputDebugStringW(text ? text : L"");
    OutputDebugStringW(L"\n");
}

void ConsoleBanner(const wchar_t* title, int width, bool emptyLineBefore) {
    BeginOutcomeStep(title);
    try {
        if (emptyLineBefore) ConsoleLine(L"");
        ConsoleLine(std::wstring(76, L'*').c_str());
        std::wstring line = std::wstring(8, L'*') + (title ? title : L"");
        if (line.size() < static_cast<size_t>(width))
            line.append(static_cast<size_t>(width) - line.size(), L'*');
        ConsoleLine(line.c_str());
    } catch (...) {
    }
}
