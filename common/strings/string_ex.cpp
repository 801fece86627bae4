#include "strings/string_ex.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cstring>
#include <new>

#include "support/scoped.h"

PFN_STRINGIDHOOK g_pfnStringIdHook = nullptr;

namespace {

constexpr int kMaxLength = INT_MAX;

int TextLength(const wchar_t* text) {
    if (!text) return 0;
    int length = 0;
    while (length < kMaxLength && text[length] != L'\0') ++length;
    return length;
}

int NarrowLength(const char* text) {
    if (!text) return 0;
    int length = 0;
    while (length < kMaxLength && text[length] != '\0') ++length;
    return length;
}

// A zero-filled block of `count` characters, or null when it cannot be had.
wchar_t* AllocChars(int64_t count) {
    if (count <= 0 || static_cast<uint64_t>(count) > SIZE_MAX / sizeof(wchar_t)) return nullptr;
    return static_cast<wchar_t*>(calloc(static_cast<size_t>(count), sizeof(wchar_t)));
}

bool Matches(const wchar_t* at, const wchar_t* text, int textLength) {
    return wmemcmp(at, text, static_cast<size_t>(textLength)) == 0;
}

wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool IsWhite(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

// Length estimate of a formatted result: each conversion counted generously, then 4 added.
int64_t EstimateFormatLength(const wchar_t* format, va_list args) {
    int64_t total = 0;
    for (const wchar_t* p = format; *p; ++p) {
        if (*p != L'%') {
            ++total;
            continue;
        }
        ++p;
        if (*p == L'%') {
            ++total;
            continue;
        }
        int64_t item = 0;
        for (;; ++p) {
            if (*p == L'#') {
                item += 2;
            } else if (*p != L' ' && *p != L'+' && *p != L'-' && *p != L'0') {
                break;
            }
        }
        int64_t width = 0;
        if (*p == L'*') {
            int value = va_arg(args, int);
            width = value < 0 ? -static_cast<int64_t>(value) : value;
            ++p;
        } else {
            while (*p >= L'0' && *p <= L'9') width = std::min<int64_t>(width * 10 + (*p++ - L'0'), INT_MAX);
        }
        int64_t precision = 0;
        bool hasPrecision = false;
        if (*p == L'.') {
            ++p;
            hasPrecision = true;
            if (*p == L'*') {
                int value = va_arg(args, int);
                if (value < 0) {
                    hasPrecision = false;
                } else {
                    precision = value;
                }
                ++p;
            } else {
                while (*p >= L'0' && *p <= L'9')
                    precision = std::min<int64_t>(precision * 10 + (*p++ - L'0'), INT_MAX);
            }
        }
        bool narrowModifier = false;
        bool wideModifier = false;
        bool wide64 = false;
        for (bool more = true; more;) {
            switch (*p) {
                case L'h':
                    narrowModifier = true;
                    ++p;
                    break;
                case L'l':
                    if (p[1] == L'l') {
                        wide64 = true;
                        ++p;
                    }
                    wideModifier = true;
                    ++p;
                    break;
                case L'w':
                    wideModifier = true;
                    ++p;
                    break;
                case L'L':
                    ++p;
                    break;
                case L'I':
                    if (p[1] == L'6' && p[2] == L'4') {
                        wide64 = true;
                        p += 3;
                    } else if (p[1] == L'3' && p[2] == L'2') {
                        p += 3;
                    } else {
                        ++p;
                    }
                    break;
                default:
                    more = false;
                    break;
            }
        }
        const wchar_t type = *p;
        switch (type) {
            case L'c':
            case L'C':
                (void)va_arg(args, int);
                item += std::max<int64_t>(2, width);
                break;
            case L's':
            case L'S': {
                const bool wide = type == L's' ? !narrowModifier : wideModifier;
                int64_t length;
                if (wide) {
                    const wchar_t* text = va_arg(args, const wchar_t*);
                    length = text ? std::max(TextLength(text), 1) : 6;
                } else {
                    const char* text = va_arg(args, const char*);
                    length = text ? std::max(NarrowLength(text), 1) : 6;
                }
                if (hasPrecision && precision < length) length = precision;
                item += std::max(length, width);
                break;
            }
            case L'd':
            case L'i':
            case L'o':
            case L'u':
            case L'x':
            case L'X':
                if (wide64) {
                    (void)va_arg(args, long long);
                } else {
                    (void)va_arg(args, int);
                }
                item += std::max<int64_t>(width + precision, 32);
                break;
            case L'p':
                (void)va_arg(args, void*);
                item += std::max<int64_t>(width + precision, 32);
                break;
            case L'e':
            case L'E':
            case L'g':
            case L'G':
            case L'a':
            case L'A':
                (void)va_arg(args, double);
                item += std::max<int64_t>(width + precision, 128);
                break;
            case L'f':
                (void)va_arg(args, double);
                item += std::max<int64_t>(precision + 312, 128);
                break;
            case L'n':
                (void)va_arg(args, void*);
                break;
            case L'\0':
                --p;  // a lone percent sign at the end
                break;
            default:
                break;
        }
        total += item;
    }
    return total + 4;
}

// Bounded wide formatting with Microsoft conventions; writes at most `size` - 1 characters and always a
// terminator. Returns the number written, or -1 when the text was cut.
int BoundedFormat(wchar_t* buffer, int size, const wchar_t* format, va_list args) {
    if (!buffer || size <= 0) return -1;
    buffer[0] = L'\0';
    int written = _vsnwprintf(buffer, static_cast<size_t>(size - 1), format, args);
    buffer[size - 1] = L'\0';
    if (written < 0 || written > size - 1) return -1;
    buffer[written] = L'\0';
    return written;
}

}  // namespace

CStringEx::CStringEx() = default;

CStringEx::CStringEx(const wchar_t* text) { Assign(text); }

CStringEx::CStringEx(const CStringEx& other) { Assign(other); }

CStringEx::CStringEx(CStringEx&& other) noexcept : m_locked(other.m_locked), m_text(other.m_text) {
    other.m_text = nullptr;
    other.m_locked = 0;
}

CStringEx::~CStringEx() { free(m_text); }

CStringEx& CStringEx::operator=(const CStringEx& other) {
    Assign(other);
    return *this;
}

CStringEx& CStringEx::operator=(CStringEx&& other) noexcept {
    if (this != &other) {
        free(m_text);
        m_text = other.m_text;
        m_locked = other.m_locked;
        other.m_text = nullptr;
        other.m_locked = 0;
    }
    return *this;
}

CStringEx& CStringEx::operator=(const wchar_t* text) {
    Assign(text);
    return *this;
}

void CStringEx::Adopt(wchar_t* block) {
    wchar_t* old = m_text;
    m_text = block;
    free(old);
}

void CStringEx::SetText(const wchar_t* text, int length) {
    // The new block is filled before the old one goes, so `text` may point into this string.
    wchar_t* block = AllocChars(static_cast<int64_t>(length) + 1);
    if (block && length > 0) wmemcpy(block, text, static_cast<size_t>(length));
    Adopt(block);
}

void CStringEx::Assign(const CStringEx& other) {
    if (this == &other) return;
    Assign(other.m_text);
}

void CStringEx::Assign(const wchar_t* text) {
    if (!text) {
        Adopt(nullptr);  // the lock flag belongs to GetBuffer, ReleaseBuffer and Empty
        return;
    }
    SetText(text, TextLength(text));
}

void CStringEx::Assign(const char* text) {
    if (!text) {
        Adopt(nullptr);
        return;
    }
    const int narrowLength = NarrowLength(text);
    if (narrowLength == 0) {
        SetText(L"", 0);
        return;
    }
    const int length = MultiByteToWideChar(CP_ACP, 0, text, narrowLength, nullptr, 0);
    wchar_t* block = length > 0 ? AllocChars(static_cast<int64_t>(length) + 1) : nullptr;
    if (block) MultiByteToWideChar(CP_ACP, 0, text, narrowLength, block, length);
    Adopt(block);
}

int CStringEx::AssignUtf8(const char* text) {
    if (!text) return 0;
    const int narrowLength = NarrowLength(text);
    if (narrowLength == 0) return 0;
    const int length = MultiByteToWideChar(CP_UTF8, 0, text, narrowLength, nullptr, 0);
    if (length <= 0) return 0;
    wchar_t* block = AllocChars(static_cast<int64_t>(length) + 1);
    if (block) MultiByteToWideChar(CP_UTF8, 0, text, narrowLength, block, length);
    Adopt(block);
    return 1;
}

const wchar_t* CStringEx::GetString() const {
    if (!m_text) {
        m_text = AllocChars(1);
        if (!m_text) return L"";
    }
    return m_text;
}

int CStringEx::GetLength() const { return TextLength(m_text); }

void CStringEx::Empty() {
    free(m_text);
    m_text = nullptr;
    m_locked = 0;
}

void CStringEx::Append(const CStringEx& other) { Append(other.m_text); }

void CStringEx::Append(const wchar_t* text) {
    const int added = TextLength(text);
    const int length = GetLength();
    if (added == 0 && length == 0) return;
    wchar_t* block = AllocChars(static_cast<int64_t>(length) + added + 2);
    if (block) {
        if (length > 0) wmemcpy(block, m_text, static_cast<size_t>(length));
        if (added > 0) wmemcpy(block + length, text, static_cast<size_t>(added));
    }
    Adopt(block);
}

void CStringEx::Append(wchar_t character) {
    const wchar_t text[2] = {character, L'\0'};
    Append(text);
}

int CStringEx::Compare(const wchar_t* text) const {
    const int length = GetLength();
    if (length == 0) return (text && *text) ? -1 : 0;
    if (!text) return 1;
    return wcscmp(m_text, text);
}

int CStringEx::CompareNoCase(const wchar_t* text) const {
    const int length = GetLength();
    if (length == 0) return (text && *text) ? -1 : 0;
    if (!text) return 1;
    const wchar_t* a = m_text;
    const wchar_t* b = text;
    for (;; ++a, ++b) {
        const wchar_t x = FoldAscii(*a);
        const wchar_t y = FoldAscii(*b);
        if (x != y) return x < y ? -1 : 1;
        if (x == L'\0') return 0;
    }
}

int CStringEx::Find(const wchar_t* text, int start) const {
    const int length = GetLength();
    const int textLength = TextLength(text);
    if (start < 0) start = 0;
    if (length == 0 || start >= length || !text) return -1;
    if (textLength == 0) return start;
    for (int i = start; i + textLength <= length; ++i) {
        if (Matches(m_text + i, text, textLength)) return i;
    }
    return -1;
}

int CStringEx::FindChar(wchar_t character, int start) const {
    const int length = GetLength();
    if (start < 0) start = 0;
    if (length == 0 || start >= length) return -1;
    for (int i = start; i < length; ++i) {
        if (m_text[i] == character) return i;
    }
    return -1;
}

int CStringEx::ReverseFind(const wchar_t* text) const {
    const int length = GetLength();
    const int textLength = TextLength(text);
    if (length == 0 || !text || textLength > length) return -1;
    for (int i = length - textLength; i >= 0; --i) {
        if (Matches(m_text + i, text, textLength)) return i;
    }
    return -1;
}

int CStringEx::Insert(int index, const wchar_t* text) {
    const int length = GetLength();
    const int added = TextLength(text);
    if (added == 0) return length;
    if (index < 0) index = 0;
    if (index > length) index = length;
    wchar_t* block = AllocChars(static_cast<int64_t>(length) + added + 1);
    if (block) {
        if (index > 0) wmemcpy(block, m_text, static_cast<size_t>(index));
        wmemcpy(block + index, text, static_cast<size_t>(added));
        if (length > index)
            wmemcpy(block + index + added, m_text + index, static_cast<size_t>(length - index));
    }
    Adopt(block);
    return GetLength();
}

void CStringEx::Format(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
}

void CStringEx::FormatV(const wchar_t* format, va_list args) {
    if (!format || m_locked) return;
    va_list counting;
    va_copy(counting, args);
    const int64_t estimate = EstimateFormatLength(format, counting);
    va_end(counting);
    if (estimate + 1 > kMaxLength) {
        Empty();
        return;
    }
    // A fresh block, so arguments that point into this string stay valid while formatting.
    const int size = static_cast<int>(estimate) + 1;
    wchar_t* block = AllocChars(size);
    if (block) {
        va_list formatting;
        va_copy(formatting, args);
        BoundedFormat(block, size, format, formatting);
        va_end(formatting);
    }
    Adopt(block);
}

BOOL CStringEx::FormatFromResource(HMODULE module, UINT id, ...) {
    CStringEx format;
    if (!format.LoadString(module, id)) return FALSE;
    va_list args;
    va_start(args, id);
    FormatV(format.m_text, args);
    va_end(args);
    return TRUE;
}

wchar_t* CStringEx::GetBuffer(int minimum) {
    if (m_locked) return nullptr;
    m_locked = 1;
    const int length = GetLength();
    if (static_cast<int64_t>(length) + 1 < minimum) {
        wchar_t* block = AllocChars(static_cast<int64_t>(minimum) + 1);
        if (block && length > 0) wmemcpy(block, m_text, static_cast<size_t>(length));
        Adopt(block);
    }
    return m_text;
}

void CStringEx::ReleaseBuffer() { m_locked = m_locked ? 0 : 1; }

void CStringEx::TrimLeft(wchar_t character) {
    const int length = GetLength();
    int skip = 0;
    while (skip < length && m_text[skip] == character) ++skip;
    if (skip > 0) SetText(m_text + skip, length - skip);
}

void CStringEx::TrimRight(wchar_t character) {
    const int length = GetLength();
    int keep = length;
    while (keep > 0 && m_text[keep - 1] == character) --keep;
    if (keep < length) SetText(m_text, keep);
}

void CStringEx::TrimLeft(const wchar_t* text) {
    const int textLength = TextLength(text);
    const int length = GetLength();
    if (textLength == 0 || length == 0) return;
    int skip = 0;
    while (skip + textLength <= length && Matches(m_text + skip, text, textLength)) skip += textLength;
    if (skip > 0) SetText(m_text + skip, length - skip);
}

void CStringEx::TrimRight(const wchar_t* text) {
    const int textLength = TextLength(text);
    const int length = GetLength();
    if (textLength == 0 || length == 0) return;
    int keep = length;
    while (keep >= textLength && Matches(m_text + keep - textLength, text, textLength)) keep -= textLength;
    if (keep < length) SetText(m_text, keep);
}

void CStringEx::TrimLeftWhite() {
    const int length = GetLength();
    int skip = 0;
    while (skip < length && IsWhite(m_text[skip])) ++skip;
    if (skip > 0) SetText(m_text + skip, length - skip);
}

void CStringEx::TrimRightWhite() {
    const int length = GetLength();
    int keep = length;
    while (keep > 0 && IsWhite(m_text[keep - 1])) --keep;
    if (keep < length) SetText(m_text, keep);
}

bool CStringEx::IsBlank() const {
    const int length = GetLength();
    for (int i = 0; i < length; ++i) {
        if (m_text[i] == L' ') continue;
        if (m_text[i] == L'\r' && i + 1 < length && m_text[i + 1] == L'\n') {
            ++i;
            continue;
        }
        return false;
    }
    return true;
}

BOOL CStringEx::LoadString(HMODULE module, UINT id) {
    if (g_pfnStringIdHook) id = g_pfnStringIdHook(id);
    Adopt(nullptr);
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW((id >> 4) + 1), RT_STRING);
    if (!resource) return FALSE;
    HGLOBAL loaded = LoadResource(module, resource);
    const DWORD bytes = SizeofResource(module, resource);
    const auto* data = loaded ? static_cast<const WORD*>(LockResource(loaded)) : nullptr;
    if (!data) return FALSE;
    // The block holds sixteen counted strings; every read is checked against the resource size.
    const DWORD words = bytes / sizeof(WORD);
    DWORD at = 0;
    for (UINT entry = 0; entry < (id & 15); ++entry) {
        if (at >= words) return FALSE;
        at += 1u + data[at];
    }
    if (at >= words) return FALSE;
    const DWORD count = data[at];
    if (count == 0 || at + 1 + count > words) return FALSE;
    SetText(reinterpret_cast<const wchar_t*>(data + at + 1), static_cast<int>(count));
    return GetLength() > 0;
}

CStringEx CStringEx::Mid(int start, int count) const {
    const int length = GetLength();
    if (start < 0) start = 0;
    CStringEx result;
    if (start >= length) return result;
    if (count < 0 || count > length - start) count = length - start;
    result.SetText(m_text + start, count);
    return result;
}

CStringEx CStringEx::Left(int count) const { return Mid(0, count); }

CStringEx CStringEx::Right(int count) const {
    const int length = GetLength();
    if (count < 0 || count > length) count = length;
    return Mid(length - count, count);
}

int CStringEx::Delete(int index, int count) {
    const int length = GetLength();
    if (index < 0 || index > length || count <= 0) return length;
    if (count >= length - index) {
        SetText(m_text, index);
    } else {
        wchar_t* block = AllocChars(static_cast<int64_t>(length) - count + 1);
        if (block) {
            wmemcpy(block, m_text, static_cast<size_t>(index));
            wmemcpy(block + index, m_text + index + count, static_cast<size_t>(length - index - count));
        }
        Adopt(block);
    }
    return GetLength();
}

int CStringEx::Replace(const wchar_t* oldText, const wchar_t* newText) {
    if (!oldText || !newText) return 0;
    const int oldLength = TextLength(oldText);
    const int newLength = TextLength(newText);
    const int length = GetLength();
    if (oldLength == 0 || length == 0 || wcscmp(oldText, newText) == 0) return 0;
    if (Find(oldText, 0) < 0) return 0;
    // Room for the worst case: every character part of an occurrence.
    int64_t size = length;
    if (newLength > oldLength) size += static_cast<int64_t>(length) * (newLength - oldLength) / oldLength;
    wchar_t* block = AllocChars(size + 1);
    if (block) {
        int out = 0;
        int i = 0;
        while (i < length) {
            if (i + oldLength <= length && Matches(m_text + i, oldText, oldLength)) {
                wmemcpy(block + out, newText, static_cast<size_t>(newLength));
                out += newLength;
                i += oldLength;
            } else {
                block[out++] = m_text[i++];
            }
        }
        block[out] = L'\0';
    }
    Adopt(block);
    return 1;
}

int CStringEx::Replace(wchar_t oldCharacter, const wchar_t* newText) {
    if (oldCharacter == L'\0') return 0;
    const wchar_t oldText[2] = {oldCharacter, L'\0'};
    return Replace(oldText, newText);
}

int CStringEx::ReplaceChar(wchar_t oldCharacter, wchar_t newCharacter) {
    if (oldCharacter == L'\0' || newCharacter == L'\0' || oldCharacter == newCharacter) return 0;
    const int length = GetLength();
    int replaced = 0;
    for (int i = 0; i < length; ++i) {
        if (m_text[i] == oldCharacter) {
            m_text[i] = newCharacter;
            ++replaced;
        }
    }
    return replaced > 0 ? 1 : 0;
}

wchar_t CStringEx::GetAt(int index) const {
    if (index < 0 || index >= GetLength()) return L'\0';
    return m_text[index];
}

void CStringEx::SetAt(int index, wchar_t character) {
    if (index < 0 || index >= GetLength()) return;
    m_text[index] = character;
}

void CStringEx::Truncate(int count) {
    if (count < 0) count = 0;
    if (count < GetLength()) SetText(m_text, count);
}

int CStringEx::Count(const wchar_t* text) const {
    const int textLength = TextLength(text);
    if (textLength == 0) return 0;
    int count = 0;
    for (int at = Find(text, 0); at >= 0; at = Find(text, at + 1)) ++count;
    return count;
}

int CStringEx::Split(wchar_t separator, std::vector<CStringEx>& list) const {
    const int length = GetLength();
    if (length == 0) return 0;
    int pieces = 0;
    int begin = 0;
    try {
        for (int i = 0; i <= length; ++i) {
            if (i == length || m_text[i] == separator) {
                list.push_back(Mid(begin, i - begin));
                ++pieces;
                begin = i + 1;
            }
        }
    } catch (const std::bad_alloc&) {
        // The list keeps the pieces appended so far.
    }
    return pieces;
}

wchar_t* CStringEx::AllocCopy() const {
    const int length = GetLength();
    wchar_t* block = AllocChars(static_cast<int64_t>(length) + 1);
    if (block && length > 0) wmemcpy(block, m_text, static_cast<size_t>(length));
    return block;
}

CStringEx CStringEx::NormalizedLines() const {
    const int length = GetLength();
    CStringEx result;
    if (length == 0) return result;
    wchar_t* block = AllocChars(static_cast<int64_t>(length) * 2 + 1);
    if (!block) return result;
    int out = 0;
    for (int i = 0; i < length; ++i) {
        const wchar_t c = m_text[i];
        if (c == L'\r' || c == L'\n') {
            block[out++] = L'\r';
            block[out++] = L'\n';
            if (c == L'\r' && i + 1 < length && m_text[i + 1] == L'\n') ++i;
        } else {
            block[out++] = c;
        }
    }
    result.Adopt(block);
    return result;
}

BOOL CStringEx::GetFirstLine(CStringEx& out) const {
    CStringEx text = NormalizedLines();
    text.TrimLeft(L"\r\n");
    const int end = text.Find(L"\r\n", 0);
    out = end < 0 ? text : text.Left(end);
    return out.GetLength() > 0;
}

BOOL CStringEx::GetLastLine(CStringEx& out) const {
    CStringEx text = NormalizedLines();
    text.TrimRight(L"\r\n");
    const int end = text.ReverseFind(L"\r\n");
    out = end < 0 ? text : text.Mid(end + 2);
    out.TrimRight(L' ');
    return out.GetLength() > 0;
}

BOOL CStringEx::GetLastLine(CStringEx& out, int minimum) const {
    GetLastLine(out);
    if (out.GetLength() < minimum) out = Right(minimum);
    return out.GetLength() > 0;
}

CStringEx CStringEx::GetLines(int count) const {
    CStringEx text = NormalizedLines();
    CStringEx result;
    const int length = text.GetLength();
    int begin = 0;
    for (int line = 0; line < count && begin < length; ++line) {
        int end = text.Find(L"\r\n", begin);
        if (end < 0) end = length;
        CStringEx piece = text.Mid(begin, end - begin);
        result.Append(piece);
        result.Append(L"\r\n");
        begin = end + 2;
    }
    return result;
}

CStringEx CStringEx::GetLine(int n) const {
    CStringEx text = NormalizedLines();
    CStringEx result;
    if (n < 0) return result;
    int begin = 0;
    int end = text.Find(L"\r\n", 0);
    for (int piece = 0; piece < n && end >= 0; ++piece) {
        begin = end + 1;  // the search resumes at the LF
        end = text.Find(L"\r\n", begin);
    }
    if (end < 0) return result;
    return text.Mid(begin, end - begin);
}

int CStringEx::GetLineCount() const {
    if (GetLength() == 0) return 0;
    int count = 1;
    for (int n = 0;; ++n) {
        CStringEx piece = GetLine(n);
        piece.TrimLeft(L' ');
        piece.TrimRight(L' ');
        if (piece.GetLength() == 0) break;
        ++count;
    }
    wchar_t message[128];
    swprintf(message, 128, L"CStringEx::GetLineCount: Found last line, linecount = %d\n", count);
    OutputDebugStringW(message);
    return count;
}

int CStringEx::FindLine(const wchar_t* text) const {
    const int length = GetLength();
    if (!text || length == 0) {
        OutputDebugStringW(L"\nCStringEx::FindLine:: invalid input!\n");
        return -1;
    }
    // Lines end at CR LF, CR or LF; the index returned is that of this string.
    int begin = 0;
    while (begin <= length) {
        int end = begin;
        while (end < length && m_text[end] != L'\r' && m_text[end] != L'\n') ++end;
        CStringEx line = Mid(begin, end - begin);
        line.TrimRight(L' ');
        if (line.Compare(text) == 0 && (line.GetLength() > 0 || end < length)) return begin;
        if (end >= length) break;
        begin = end + ((m_text[end] == L'\r' && end + 1 < length && m_text[end + 1] == L'\n') ? 2 : 1);
    }
    return -1;
}

BOOL CStringEx::LoadFromFile(const wchar_t* path) {
    if (!path) return FALSE;
    tavo::ScopedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return FALSE;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > INT_MAX - 4) return FALSE;
    const DWORD bytes = static_cast<DWORD>(size.QuadPart);
    char* data = static_cast<char*>(calloc(bytes + 4, 1));
    if (!data) return FALSE;
    DWORD read = 0;
    DWORD total = 0;
    BOOL ok = TRUE;
    while (total < bytes) {
        if (!ReadFile(file.get(), data + total, bytes - total, &read, nullptr) || read == 0) {
            ok = FALSE;
            break;
        }
        total += read;
    }
    if (ok) {
        if (total >= 2 && static_cast<unsigned char>(data[0]) == 0xFF &&
            static_cast<unsigned char>(data[1]) == 0xFE) {
            const int count = static_cast<int>((total - 2) / sizeof(wchar_t));
            wchar_t* text = AllocChars(static_cast<int64_t>(count) + 1);
            if (text) memcpy(text, data + 2, static_cast<size_t>(count) * sizeof(wchar_t));
            Adopt(text);
            // An embedded zero ends the text; the block keeps its size.
        } else {
            Assign(static_cast<const char*>(data));
        }
    }
    free(data);
    return ok;
}

BOOL CStringEx::SaveToFile(const wchar_t* path) const {
    if (!path) return FALSE;
    tavo::ScopedHandle file(
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return FALSE;
    const wchar_t mark = 0xFEFF;
    DWORD written = 0;
    if (!WriteFile(file.get(), &mark, sizeof(mark), &written, nullptr) || written != sizeof(mark))
        return FALSE;
    const DWORD bytes = static_cast<DWORD>(GetLength()) * sizeof(wchar_t);
    DWORD total = 0;
    while (total < bytes) {
        if (!WriteFile(file.get(), reinterpret_cast<const char*>(m_text) + total, bytes - total, &written,
                       nullptr) ||
            written == 0)
            return FALSE;
        total += written;
    }
    return TRUE;
}

void CStringEx::PathAppend(const wchar_t* file) {
    if (!file) {
        OutputDebugStringW(L"CStringEx::PathAppend: lpszFile == NULL\n");
        return;
    }
    CStringEx part(file);
    part.TrimLeft(L'/');
    part.TrimLeft(L'\\');
    TrimRight(L'/');
    TrimRight(L'\\');
    Append(L'\\');
    Append(part);
}

int FormatPath(wchar_t* buffer, const wchar_t* format, ...) {
    if (!buffer) return -1;
    if (!format) {
        buffer[0] = L'\0';
        return -1;
    }
    va_list args;
    va_start(args, format);
    const int written = BoundedFormat(buffer, MAX_PATH, format, args);
    va_end(args);
    return written;
}
