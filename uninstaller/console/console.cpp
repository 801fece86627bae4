#include "console/console.h"

#include <iostream>
#include <string>

void ConsoleLine(const wchar_t* text) { std::wcout << text << std::endl; }

void ConsoleBanner(const wchar_t* title, int width, bool emptyLineBefore) {
    if (emptyLineBefore) ConsoleLine(L"");
    ConsoleLine(std::wstring(76, L'*').c_str());
    std::wstring line = std::wstring(8, L'*') + title;
    if (line.size() < static_cast<size_t>(width)) line.append(static_cast<size_t>(width) - line.size(), L'*');
    ConsoleLine(line.c_str());
}
