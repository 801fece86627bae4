// The support library's wide, growable string, and the bounded path formatter.
//
// The text lives in a heap block of exactly length + 1 characters, or is null for the empty string; the
// length is not stored but counted up to the first zero. A lock flag is set while a writable buffer handed
// out by GetBuffer is outstanding. No operation throws: memory exhaustion leaves the text null (empty).
#pragma once

#include <windows.h>
#include <shlwapi.h>

#include <vector>

// The shell's PathAppend macro would rename CStringEx::PathAppend; the shell function stays reachable as
// PathAppendW.
#undef PathAppend

class CStringEx {
  public:
    CStringEx();
    CStringEx(const wchar_t* text);  // NOLINT: implicit on purpose; null gives the empty string
    CStringEx(const CStringEx& other);
    CStringEx(CStringEx&& other) noexcept;
    virtual ~CStringEx();

    CStringEx& operator=(const CStringEx& other);
    CStringEx& operator=(CStringEx&& other) noexcept;
    CStringEx& operator=(const wchar_t* text);

    // Replace the text; a null source empties the string. Narrow text is taken from the ANSI code page.
    void Assign(const CStringEx& other);
    void Assign(const wchar_t* text);
    void Assign(const char* text);
    // Converts from UTF-8. Returns 1, or 0 (string unchanged) when the input is null or converts to nothing.
    int AssignUtf8(const char* text);

    // Never null: an empty string first stores a one-character empty block.
    const wchar_t* GetString() const;
    int GetLength() const;
    bool IsEmpty() const { return GetLength() == 0; }
    // Frees the text and clears the lock flag.
    void Empty();

    void Append(const CStringEx& other);
    void Append(const wchar_t* text);
    void Append(wchar_t character);

    // Ordinal comparison. An empty string gives -1 against a non-empty text, else 0; a null text gives 1
    // when this string is non-empty, else 0.
    int Compare(const wchar_t* text) const;
    // As Compare, with only the letters A to Z folded to lower case.
    int CompareNoCase(const wchar_t* text) const;
    bool operator==(const CStringEx& other) const { return Compare(other.m_text) == 0; }
    bool operator==(const wchar_t* text) const { return Compare(text) == 0; }
    bool operator!=(const CStringEx& other) const { return Compare(other.m_text) != 0; }
    bool operator!=(const wchar_t* text) const { return Compare(text) != 0; }

    // Index of the first occurrence at or after `start` (negative counts as 0), or -1.
    int Find(const wchar_t* text, int start = 0) const;
    int FindChar(wchar_t character, int start = 0) const;
    // Index of the last occurrence, or -1.
    int ReverseFind(const wchar_t* text) const;

    // Index clamped to 0 ... length; returns the new length.
    int Insert(int index, const wchar_t* text);

    // printf-style wide formatting (Microsoft conventions: %s wide, %S narrow). The result is cut at the
    // length estimated from the format and its arguments; it never overruns.
    void Format(const wchar_t* format, ...);
    void FormatV(const wchar_t* format, va_list args);
    // Loads the format with LoadString, then formats; false when the format does not load.
    BOOL FormatFromResource(HMODULE module, UINT id, ...);

    // A writable block of at least `minimum` characters (null for an empty string whose block is large
    // enough, and null while a buffer is already outstanding). Sets the lock flag.
    wchar_t* GetBuffer(int minimum);
    // Toggles the lock flag; the length follows from the terminating zero.
    void ReleaseBuffer();
    bool IsLocked() const { return m_locked != 0; }

    void TrimLeft(wchar_t character);
    void TrimRight(wchar_t character);
    // Remove repeated occurrences of a whole text.
    void TrimLeft(const wchar_t* text);
    void TrimRight(const wchar_t* text);
    // Repeatedly removes leading spaces, CR LF pairs, CR, LF and TAB.
    void TrimLeftWhite();
    // Removes trailing spaces, CR, LF and TAB.
    void TrimRightWhite();
    // True when empty or made only of CR LF pairs and spaces.
    bool IsBlank() const;

    // String resource `id` of `module` (string-table block id / 16 + 1, entry id mod 16). True when the
    // loaded text is non-empty; the string holds the loaded text (empty when there is none).
    BOOL LoadString(HMODULE module, UINT id);

    CStringEx Mid(int start, int count = -1) const;
    CStringEx Left(int count) const;
    CStringEx Right(int count) const;
    // Returns the new length.
    int Delete(int index, int count = 1);
    // Replaces every occurrence; 0 and no change when nothing is replaced.
    int Replace(const wchar_t* oldText, const wchar_t* newText);
    int Replace(wchar_t oldCharacter, const wchar_t* newText);
    int ReplaceChar(wchar_t oldCharacter, wchar_t newCharacter);

    wchar_t GetAt(int index) const;
    void SetAt(int index, wchar_t character);
    void Truncate(int count);
    // Occurrences of `text`, overlapping ones included.
    int Count(const wchar_t* text) const;
    // Appends every piece (empty ones included) to `list`; returns the number appended, 0 for an empty
    // string.
    int Split(wchar_t separator, std::vector<CStringEx>& list) const;
    // A heap copy of the text (never null unless memory is exhausted); the caller releases it with free().
    wchar_t* AllocCopy() const;

    // Line operations; they work on a copy whose line ends (CR LF, CR, LF) are all made CR LF.
    BOOL GetFirstLine(CStringEx& out) const;
    BOOL GetLastLine(CStringEx& out) const;
    BOOL GetLastLine(CStringEx& out, int minimum) const;
    CStringEx GetLines(int count) const;
    CStringEx GetLine(int n) const;
    int GetLineCount() const;
    int FindLine(const wchar_t* text) const;

    // A file beginning with U+FEFF is UTF-16 after the mark, otherwise ANSI text.
    BOOL LoadFromFile(const wchar_t* path);
    // Writes U+FEFF and the UTF-16 text, creating or replacing the file.
    BOOL SaveToFile(const wchar_t* path) const;

    // Joins with exactly one backslash.
    void PathAppend(const wchar_t* file);

  private:
    // Takes ownership of `block` (may be null) and frees the old text.
    void Adopt(wchar_t* block);
    void SetText(const wchar_t* text, int length);
    CStringEx NormalizedLines() const;

    LONG m_locked = 0;
    mutable wchar_t* m_text = nullptr;
};

// Maps string ids before LoadString loads them; null (the default) maps nothing.
using PFN_STRINGIDHOOK = UINT (*)(UINT id);
extern PFN_STRINGIDHOOK g_pfnStringIdHook;

// printf-style wide formatting into a caller buffer of MAX_PATH characters. Returns the number of
// characters written, or -1 when the arguments are null or the result (with its terminator) does not fit;
// the buffer then holds the cut, terminated text.
int FormatPath(wchar_t* buffer, const wchar_t* format, ...);
