#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "strings/string_ex.h"
#include "probe_runner.h"
#include "strings_test_resources.h"

using tavo::test::SameLines;
using tavo::test::Text;

namespace {

// A unique temporary folder, removed with its files at the end of the test.
class TempFolder {
  public:
    TempFolder() {
        wchar_t base[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, base);
        m_path = base;
        m_path += L"strings_test_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                  std::to_wstring(GetTickCount());
        CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~TempFolder() {
        for (const auto& file : m_files) DeleteFileW(file.c_str());
        RemoveDirectoryW(m_path.c_str());
    }
    std::wstring File(const wchar_t* name) {
        m_files.push_back(m_path + L"\\" + name);
        return m_files.back();
    }

  private:
    std::wstring m_path;
    std::vector<std::wstring> m_files;
};

std::string ReadBytes(const std::wstring& path) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string data(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    if (!data.empty()) ReadFile(file, data.data(), static_cast<DWORD>(data.size()), &read, nullptr);
    CloseHandle(file);
    data.resize(read);
    return data;
}

void WriteBytes(const std::wstring& path, const std::string& data) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    CloseHandle(file);
}

TEST(StringEx, ConstructionAndEmptyIsNeverNull) {
    CStringEx empty;
    EXPECT_EQ(empty.GetLength(), 0);
    ASSERT_NE(empty.GetString(), nullptr);
    EXPECT_EQ(empty.GetString()[0], L'\0');
    CStringEx fromNull(static_cast<const wchar_t*>(nullptr));
    EXPECT_EQ(fromNull.GetLength(), 0);
    CStringEx text(L"abc");
    CStringEx copy(text);
    EXPECT_EQ(Text(copy), L"abc");
    EXPECT_NE(copy.GetString(), text.GetString());  // deep copy
    copy.Empty();
    EXPECT_EQ(copy.GetLength(), 0);
    EXPECT_EQ(Text(text), L"abc");
}

TEST(StringEx, AssignFromEveryKindOfSource) {
    CStringEx s(L"old");
    s.Assign(static_cast<const wchar_t*>(nullptr));
    EXPECT_EQ(s.GetLength(), 0);
    s.Assign("narrow");
    EXPECT_EQ(Text(s), L"narrow");
    s.Assign(static_cast<const char*>(nullptr));
    EXPECT_EQ(s.GetLength(), 0);
    s = L"self";
    s = s;
    EXPECT_EQ(Text(s), L"self");
    // Assigning a part of the string itself.
    s = L"prefix-rest";
    s.Assign(s.GetString() + 7);
    EXPECT_EQ(Text(s), L"rest");
}

TEST(StringEx, Utf8AndAnsiConversionsOfNonAsciiText) {
    CStringEx s(L"keep");
    EXPECT_EQ(s.AssignUtf8(nullptr), 0);
    EXPECT_EQ(Text(s), L"keep");
    EXPECT_EQ(s.AssignUtf8(""), 0);
    EXPECT_EQ(Text(s), L"keep");
    EXPECT_EQ(s.AssignUtf8("Gr\xC3\xBC\xC3\x9F\x65 \xE2\x82\xAC \xF0\x9F\x98\x80"), 1);
    EXPECT_EQ(Text(s), L"Gr\u00FC\u00DFe \u20AC \xD83D\xDE00");
    EXPECT_EQ(s.GetLength(), 10);
    // The ANSI code page round trip of a character it holds.
    wchar_t wide[] = L"\u00E9t\u00E9";
    char narrow[16] = {};
    BOOL lossy = FALSE;
    WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, sizeof(narrow), nullptr, &lossy);
    if (!lossy) {
        s.Assign(narrow);
        EXPECT_EQ(Text(s), wide);
    }
}

TEST(StringEx, AppendRules) {
    CStringEx s;
    s.Append(L"");
    s.Append(static_cast<const wchar_t*>(nullptr));
    EXPECT_EQ(s.GetLength(), 0);
    s.Append(L"ab");
    s.Append(L'c');
    CStringEx other(L"de");
    s.Append(other);
    EXPECT_EQ(Text(s), L"abcde");
    s.Append(s);
    EXPECT_EQ(Text(s), L"abcdeabcde");
    s.Append(s.GetString() + 8);
    EXPECT_EQ(Text(s), L"abcdeabcdede");
}

TEST(StringEx, CompareRulesForEmptyAndNull) {
    CStringEx empty;
    EXPECT_EQ(empty.Compare(L""), 0);
    EXPECT_EQ(empty.Compare(nullptr), 0);
    EXPECT_EQ(empty.Compare(L"a"), -1);
    CStringEx s(L"abc");
    EXPECT_EQ(s.Compare(nullptr), 1);
    EXPECT_EQ(s.Compare(L"abc"), 0);
    EXPECT_LT(s.Compare(L"abd"), 0);
    EXPECT_GT(s.Compare(L"ab"), 0);
    EXPECT_GT(s.Compare(L"ABC"), 0);  // ordinal
    EXPECT_EQ(s.CompareNoCase(L"ABC"), 0);
    EXPECT_EQ(empty.CompareNoCase(nullptr), 0);
    EXPECT_EQ(empty.CompareNoCase(L"X"), -1);
    // Only A to Z are folded.
    CStringEx accented(L"\u00E9");
    EXPECT_NE(accented.CompareNoCase(L"\u00C9"), 0);
    EXPECT_TRUE(s == L"abc");
    EXPECT_TRUE(s != L"abC");
    EXPECT_TRUE(s == CStringEx(L"abc"));
    EXPECT_TRUE(empty == CStringEx());
    EXPECT_TRUE(empty == nullptr);
}

TEST(StringEx, FindAndIndexClamping) {
    CStringEx empty;
    EXPECT_EQ(empty.Find(L"a", 0), -1);
    EXPECT_EQ(empty.Find(L"", 0), -1);
    EXPECT_EQ(empty.FindChar(L'a', 0), -1);
    EXPECT_EQ(empty.ReverseFind(L"a"), -1);
    CStringEx s(L"abcabc");
    EXPECT_EQ(s.Find(L"bc", -5), 1);
    EXPECT_EQ(s.Find(L"bc", 2), 4);
    EXPECT_EQ(s.Find(L"bc", 6), -1);
    EXPECT_EQ(s.Find(L"bc", 100), -1);
    EXPECT_EQ(s.Find(L"x", 0), -1);
    EXPECT_EQ(s.Find(nullptr, 0), -1);
    EXPECT_EQ(s.FindChar(L'c', 3), 5);
    EXPECT_EQ(s.FindChar(L'c', -1), 2);
    EXPECT_EQ(s.ReverseFind(L"ab"), 3);
    EXPECT_EQ(s.ReverseFind(L"abcabcx"), -1);
    EXPECT_EQ(s.GetAt(-1), L'\0');
    EXPECT_EQ(s.GetAt(6), L'\0');
    EXPECT_EQ(s.GetAt(5), L'c');
    s.SetAt(6, L'x');
    s.SetAt(-1, L'x');
    s.SetAt(0, L'A');
    EXPECT_EQ(Text(s), L"Abcabc");
}

TEST(StringEx, InsertDeleteMidLeftRight) {
    CStringEx s(L"ace");
    EXPECT_EQ(s.Insert(1, L"b"), 4);
    EXPECT_EQ(s.Insert(-3, L"<"), 5);
    EXPECT_EQ(s.Insert(99, L">"), 6);
    EXPECT_EQ(s.Insert(2, nullptr), 6);
    EXPECT_EQ(Text(s), L"<abce>");
    CStringEx empty;
    EXPECT_EQ(empty.Insert(5, L"x"), 1);

    CStringEx d(L"0123456789");
    EXPECT_EQ(d.Delete(-1, 2), 10);
    EXPECT_EQ(d.Delete(11, 2), 10);
    EXPECT_EQ(d.Delete(2, 3), 7);
    EXPECT_EQ(Text(d), L"0156789");
    EXPECT_EQ(d.Delete(4, 100), 4);
    EXPECT_EQ(Text(d), L"0156");

    CStringEx m(L"hello");
    EXPECT_EQ(Text(m.Mid(1, 3)), L"ell");
    EXPECT_EQ(Text(m.Mid(-2, 2)), L"he");
    EXPECT_EQ(Text(m.Mid(2, -1)), L"llo");
    EXPECT_EQ(Text(m.Mid(2, 99)), L"llo");
    EXPECT_EQ(m.Mid(5, 1).GetLength(), 0);
    EXPECT_EQ(m.Mid(9, 1).GetLength(), 0);
    EXPECT_EQ(Text(m.Left(2)), L"he");
    EXPECT_EQ(Text(m.Left(-1)), L"hello");
    EXPECT_EQ(Text(m.Right(2)), L"lo");
    EXPECT_EQ(Text(m.Right(50)), L"hello");
    m.Truncate(3);
    EXPECT_EQ(Text(m), L"hel");
    m.Truncate(10);
    EXPECT_EQ(Text(m), L"hel");
}

TEST(StringEx, ReplaceGrowsShrinksAndRefuses) {
    CStringEx s(L"a.b.c");
    EXPECT_NE(s.Replace(L".", L"-->"), 0);
    EXPECT_EQ(Text(s), L"a-->b-->c");
    // Every character an occurrence: the largest growth.
    CStringEx all(L"xxxx");
    EXPECT_NE(all.Replace(L"x", L"yyyyyyyy"), 0);
    EXPECT_EQ(all.GetLength(), 32);
    EXPECT_EQ(all.Count(L"yyyyyyyy"), 25);  // overlapping hits count too
    EXPECT_NE(s.Replace(L"-->", L""), 0);
    EXPECT_EQ(Text(s), L"abc");
    EXPECT_EQ(s.Replace(L"abc", L"abc"), 0);
    EXPECT_EQ(Text(s), L"abc");
    EXPECT_EQ(s.Replace(L"q", L"r"), 0);
    EXPECT_EQ(s.Replace(L"", L"r"), 0);
    EXPECT_EQ(s.Replace(nullptr, L"r"), 0);
    EXPECT_EQ(s.Replace(L"a", nullptr), 0);
    CStringEx empty;
    EXPECT_EQ(empty.Replace(L"a", L"b"), 0);
    // The search resumes after the replaced text, so the result is not searched again.
    CStringEx again(L"aaa");
    EXPECT_NE(again.Replace(L"a", L"aa"), 0);
    EXPECT_EQ(Text(again), L"aaaaaa");
    CStringEx overlap(L"aaaa");
    EXPECT_NE(overlap.Replace(L"aa", L"b"), 0);
    EXPECT_EQ(Text(overlap), L"bb");
    // Replacing with a part of the string itself.
    CStringEx self(L"ab");
    EXPECT_NE(self.Replace(L"a", self.GetString()), 0);
    EXPECT_EQ(Text(self), L"abb");
    CStringEx chars(L"a/b/c");
    EXPECT_NE(chars.ReplaceChar(L'/', L'\\'), 0);
    EXPECT_EQ(Text(chars), L"a\\b\\c");
    EXPECT_EQ(chars.ReplaceChar(L'/', L'\\'), 0);
    EXPECT_EQ(chars.ReplaceChar(L'a', L'a'), 0);
    EXPECT_NE(chars.Replace(L'\\', L"::"), 0);
    EXPECT_EQ(Text(chars), L"a::b::c");
    EXPECT_EQ(chars.Count(L"::"), 2);
    EXPECT_EQ(chars.Count(L""), 0);
    EXPECT_EQ(chars.Count(nullptr), 0);
}

TEST(StringEx, GetBufferLockToggling) {
    CStringEx s(L"abc");
    wchar_t* buffer = s.GetBuffer(2);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer, s.GetString());  // large enough: the current block
    EXPECT_TRUE(s.IsLocked());
    EXPECT_EQ(s.GetBuffer(2), nullptr);  // already handed out
    buffer[1] = L'\0';
    s.ReleaseBuffer();
    EXPECT_FALSE(s.IsLocked());
    EXPECT_EQ(Text(s), L"a");

    buffer = s.GetBuffer(100);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer[0], L'a');  // content kept in the new block
    wcscpy(buffer, L"a much longer text that fills the buffer");
    buffer[99] = L'\0';
    s.ReleaseBuffer();
    EXPECT_EQ(Text(s), L"a much longer text that fills the buffer");

    // Two releases after one GetBuffer leave the string locked.
    ASSERT_NE(s.GetBuffer(1), nullptr);
    s.ReleaseBuffer();
    s.ReleaseBuffer();
    EXPECT_TRUE(s.IsLocked());
    EXPECT_EQ(s.GetBuffer(1), nullptr);
    s.Assign(static_cast<const wchar_t*>(nullptr));  // emptying by assignment keeps the lock
    EXPECT_TRUE(s.IsLocked());
    s.Empty();
    EXPECT_FALSE(s.IsLocked());

    // A request an empty string already satisfies returns its null block, and locks it.
    CStringEx empty;
    EXPECT_EQ(empty.GetBuffer(1), nullptr);
    EXPECT_TRUE(empty.IsLocked());
    EXPECT_EQ(empty.GetBuffer(10), nullptr);
    empty.ReleaseBuffer();
    wchar_t* grown = empty.GetBuffer(10);
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(grown[0], L'\0');
    empty.ReleaseBuffer();
}

TEST(StringEx, FormatEstimatesAndCuts) {
    CStringEx s;
    s.Format(L"%d-%s-%S-%c-%05.1f-%%", 42, L"wide", "narrow", L'x', 2.5);
    EXPECT_EQ(Text(s), L"42-wide-narrow-x-002.5-%");
    s.Format(L"%hs|%ls|%I64d|%s", "a", L"b", -12345678901234LL, static_cast<const wchar_t*>(nullptr));
    EXPECT_EQ(Text(s), L"a|b|-12345678901234|(null)");
    s.Format(L"[%*d][%.*s]", 6, 7, 2, L"abcdef");
    EXPECT_EQ(Text(s), L"[     7][ab]");

    // Long strings are counted in full.
    std::wstring longText(5000, L'q');
    s.Format(L"<%s>", longText.c_str());
    EXPECT_EQ(s.GetLength(), 5002);
    std::string narrow(3000, 'n');
    s.Format(L"%S%S", narrow.c_str(), narrow.c_str());
    EXPECT_EQ(s.GetLength(), 6000);

    // A width the estimate of %f does not count: the text is cut at the estimate (312 + 4).
    s.Format(L"%400f", 1.5);
    EXPECT_EQ(s.GetLength(), 316);
    EXPECT_EQ(s.GetAt(0), L' ');
    // A string width is counted, so nothing is cut.
    s.Format(L"%500s", L"x");
    EXPECT_EQ(s.GetLength(), 500);

    // Arguments that point into the string itself.
    s = L"abc";
    s.Format(L"%s+%s", s.GetString(), s.GetString());
    EXPECT_EQ(Text(s), L"abc+abc");

    // A locked string is not formatted.
    ASSERT_NE(s.GetBuffer(1), nullptr);
    s.Format(L"%d", 1);
    s.ReleaseBuffer();
    EXPECT_EQ(Text(s), L"abc+abc");
}

TEST(StringEx, FormatPathBoundsTheBuffer) {
    wchar_t buffer[MAX_PATH + 8];
    for (auto& c : buffer) c = L'#';
    EXPECT_EQ(FormatPath(buffer, L"%s\\%s", L"C:\\dir", L"file.txt"), 15);
    EXPECT_STREQ(buffer, L"C:\\dir\\file.txt");
    std::wstring exact(MAX_PATH - 1, L'e');
    EXPECT_EQ(FormatPath(buffer, L"%s", exact.c_str()), MAX_PATH - 1);
    EXPECT_EQ(buffer[MAX_PATH - 1], L'\0');
    std::wstring tooLong(400, L'z');
    EXPECT_EQ(FormatPath(buffer, L"%s", tooLong.c_str()), -1);
    EXPECT_EQ(buffer[MAX_PATH - 1], L'\0');
    EXPECT_EQ(buffer[MAX_PATH], L'#');  // never written past the 260 characters
    EXPECT_EQ(FormatPath(buffer, nullptr), -1);
    EXPECT_EQ(FormatPath(nullptr, L"x"), -1);
}

TEST(StringEx, TrimOperations) {
    CStringEx s(L"xxabcxx");
    s.TrimLeft(L'x');
    s.TrimRight(L'x');
    EXPECT_EQ(Text(s), L"abc");
    s = L"ababXab";
    s.TrimLeft(L"ab");
    EXPECT_EQ(Text(s), L"Xab");
    s.TrimRight(L"ab");
    EXPECT_EQ(Text(s), L"X");
    s.TrimLeft(static_cast<const wchar_t*>(nullptr));
    s.TrimRight(L"");
    EXPECT_EQ(Text(s), L"X");
    s = L" \r\n\t\r\n x \t\r\n";
    s.TrimLeftWhite();
    EXPECT_EQ(Text(s), L"x \t\r\n");
    s.TrimRightWhite();
    EXPECT_EQ(Text(s), L"x");
    s = L"xxxx";
    s.TrimLeft(L'x');
    EXPECT_EQ(s.GetLength(), 0);
    EXPECT_TRUE(CStringEx().IsBlank());
    EXPECT_TRUE(CStringEx(L" \r\n  \r\n").IsBlank());
    EXPECT_FALSE(CStringEx(L"\n").IsBlank());
    EXPECT_FALSE(CStringEx(L"\t").IsBlank());
    EXPECT_FALSE(CStringEx(L" a ").IsBlank());
}

TEST(StringEx, SplitAndAllocCopy) {
    std::vector<CStringEx> list;
    EXPECT_EQ(CStringEx().Split(L',', list), 0);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(CStringEx(L",a,,b,").Split(L',', list), 5);
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(Text(list[0]), L"");
    EXPECT_EQ(Text(list[1]), L"a");
    EXPECT_EQ(Text(list[2]), L"");
    EXPECT_EQ(Text(list[3]), L"b");
    EXPECT_EQ(Text(list[4]), L"");
    EXPECT_EQ(CStringEx(L"one").Split(L',', list), 1);
    EXPECT_EQ(list.size(), 6u);  // appended

    CStringEx s(L"copy me");
    wchar_t* copy = s.AllocCopy();
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, L"copy me");
    EXPECT_NE(copy, s.GetString());
    free(copy);
    wchar_t* emptyCopy = CStringEx().AllocCopy();
    ASSERT_NE(emptyCopy, nullptr);
    EXPECT_EQ(emptyCopy[0], L'\0');
    free(emptyCopy);
}

TEST(StringEx, LineOperationsOnEveryLineEnd) {
    for (const wchar_t* end : {L"\r\n", L"\r", L"\n"}) {
        SCOPED_TRACE(end[0] == L'\r' ? (end[1] ? "CR LF" : "CR") : "LF");
        std::wstring e(end);
        CStringEx s((e + e + L"first  " + e + L"second" + e + L"last  " + e + e).c_str());
        CStringEx line;
        EXPECT_TRUE(s.GetFirstLine(line));
        EXPECT_EQ(Text(line), L"first  ");
        EXPECT_TRUE(s.GetLastLine(line));
        EXPECT_EQ(Text(line), L"last");
        // piece 0 is empty, later pieces begin with the LF of the line end before them
        EXPECT_EQ(s.GetLine(0).GetLength(), 0);
        EXPECT_EQ(Text(s.GetLine(2)), L"\nfirst  ");
        EXPECT_EQ(Text(s.GetLine(3)), L"\nsecond");
        EXPECT_EQ(Text(s.GetLine(4)), L"\nlast  ");
        EXPECT_EQ(Text(s.GetLine(5)), L"\n");
        EXPECT_EQ(s.GetLine(6).GetLength(), 0);
        EXPECT_EQ(s.GetLine(-1).GetLength(), 0);
        EXPECT_EQ(Text(s.GetLines(4)), L"\r\n\r\nfirst  \r\nsecond\r\n");
        EXPECT_EQ(s.FindLine(L"second"), static_cast<int>(2 * e.size() + 7 + e.size()));
        EXPECT_EQ(s.FindLine(L"last"), static_cast<int>(3 * e.size() + 13 + e.size()));
        EXPECT_EQ(s.FindLine(L"missing"), -1);

        CStringEx ended((L"a" + e + L"b" + e).c_str());
        EXPECT_EQ(Text(ended.GetLines(9)), L"a\r\nb\r\n");
        EXPECT_EQ(Text(ended.GetLines(1)), L"a\r\n");
    }
    CStringEx single(L"only line  ");
    CStringEx line;
    EXPECT_TRUE(single.GetFirstLine(line));
    EXPECT_EQ(Text(line), L"only line  ");
    EXPECT_TRUE(single.GetLastLine(line));
    EXPECT_EQ(Text(line), L"only line");
    EXPECT_EQ(single.GetLine(0).GetLength(), 0);  // the text after the last line end is never returned
    EXPECT_EQ(CStringEx().GetLines(3).GetLength(), 0);
    EXPECT_EQ(single.FindLine(L"only line"), 0);

    CStringEx shortLast(L"a long first line\r\nxy");
    EXPECT_TRUE(shortLast.GetLastLine(line, 5));
    EXPECT_EQ(Text(line), L"e\r\nxy");
    EXPECT_TRUE(shortLast.GetLastLine(line, 2));
    EXPECT_EQ(Text(line), L"xy");
}

// GetLineCount, FindLine and PathAppend write debug messages, which a process under test cannot write
// here: the probe program runs them.
TEST(StringEx, DebugMessagesOfLineAndPathOperations) {
    const ProbeResult probe = RunProbe("lines");
    ASSERT_TRUE(probe.started);
    EXPECT_EQ(probe.exitCode, 0u);
    EXPECT_EQ(Lines(probe.output),
              "count=2\ncount=3\ncount=1\ncount=0\nfind=-1\nfind=-1\nfind=4\npath=C:\\dir\\\n");
    const std::vector<std::string> expected = {
        "CStringEx::GetLineCount: Found last line, linecount = 2\n",
        "CStringEx::GetLineCount: Found last line, linecount = 3\n",
        "CStringEx::GetLineCount: Found last line, linecount = 1\n",
        "\nCStringEx::FindLine:: invalid input!\n",
        "\nCStringEx::FindLine:: invalid input!\n",
        "CStringEx::PathAppend: lpszFile == NULL\n",
    };
    EXPECT_TRUE(SameLines(probe.debug, expected));
}

TEST(StringEx, PathAppendWithEverySlashCombination) {
    const wchar_t* bases[] = {L"C:\\dir", L"C:\\dir\\", L"C:\\dir/", L"C:\\dir\\\\", L"C:\\dir\\/"};
    const wchar_t* files[] = {L"file", L"\\file", L"/file", L"\\\\file", L"//\\file"};
    for (const wchar_t* base : bases) {
        for (const wchar_t* file : files) {
            CStringEx path(base);
            path.PathAppend(file);
            EXPECT_EQ(Text(path), L"C:\\dir\\file")
                << "base " << CStringEx(base).GetLength() << " file " << CStringEx(file).GetLength();
        }
    }
    // Trailing slashes are removed before trailing backslashes, leading ones likewise.
    CStringEx mixed(L"C:\\dir/\\");
    mixed.PathAppend(L"\\/file");
    EXPECT_EQ(Text(mixed), L"C:\\dir/\\/file");
    CStringEx empty;
    empty.PathAppend(L"file");
    EXPECT_EQ(Text(empty), L"\\file");
    CStringEx nothing(L"C:\\dir");
    nothing.PathAppend(L"");
    EXPECT_EQ(Text(nothing), L"C:\\dir\\");
    CStringEx sub(L"C:\\a");
    sub.PathAppend(L"b\\c\\");
    EXPECT_EQ(Text(sub), L"C:\\a\\b\\c\\");
}

TEST(StringEx, LoadStringFromTheStringTable) {
    HMODULE module = GetModuleHandleW(nullptr);
    CStringEx s(L"old");
    EXPECT_TRUE(s.LoadString(module, IDS_TEST_GREETING));
    EXPECT_EQ(Text(s), L"Hello, world");
    EXPECT_TRUE(s.LoadString(module, IDS_TEST_LATE_ENTRY));
    EXPECT_EQ(Text(s), L"entry 15 of block 4");
    EXPECT_TRUE(s.LoadString(module, IDS_TEST_SECOND_BLOCK));
    EXPECT_EQ(Text(s), L"second block");
    EXPECT_FALSE(s.LoadString(module, IDS_TEST_MISSING_IN_BLOCK));
    EXPECT_EQ(s.GetLength(), 0);
    EXPECT_FALSE(s.LoadString(module, 4000));
    EXPECT_TRUE(s.FormatFromResource(module, IDS_TEST_FORMAT, 7, L"items"));
    EXPECT_EQ(Text(s), L"7 items left");
    CStringEx kept(L"kept");
    EXPECT_FALSE(kept.FormatFromResource(module, 4000, 1));
    EXPECT_EQ(Text(kept), L"kept");

    g_pfnStringIdHook = [](UINT id) -> UINT { return id == 4000 ? IDS_TEST_GREETING : id; };
    EXPECT_TRUE(s.LoadString(module, 4000));
    g_pfnStringIdHook = nullptr;
    EXPECT_EQ(Text(s), L"Hello, world");
}

TEST(StringEx, SaveAndLoadFilesWithAndWithoutMark) {
    TempFolder folder;
    const std::wstring unicodePath = folder.File(L"unicode.txt");
    CStringEx s(L"line 1\r\n\u00FC\u20AC\xD83D\xDE00");
    ASSERT_TRUE(s.SaveToFile(unicodePath.c_str()));
    const std::string bytes = ReadBytes(unicodePath);
    ASSERT_EQ(bytes.size(), 2u + 12u * 2u);
    EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0xFE);
    CStringEx loaded;
    ASSERT_TRUE(loaded.LoadFromFile(unicodePath.c_str()));
    EXPECT_EQ(Text(loaded), Text(s));

    // Saving again replaces the file.
    CStringEx shorter(L"x");
    ASSERT_TRUE(shorter.SaveToFile(unicodePath.c_str()));
    EXPECT_EQ(ReadBytes(unicodePath).size(), 4u);
    ASSERT_TRUE(CStringEx().SaveToFile(unicodePath.c_str()));
    EXPECT_EQ(ReadBytes(unicodePath).size(), 2u);
    ASSERT_TRUE(loaded.LoadFromFile(unicodePath.c_str()));
    EXPECT_EQ(loaded.GetLength(), 0);

    const std::wstring ansiPath = folder.File(L"ansi.txt");
    WriteBytes(ansiPath, "plain ANSI\r\ntext");
    ASSERT_TRUE(loaded.LoadFromFile(ansiPath.c_str()));
    EXPECT_EQ(Text(loaded), L"plain ANSI\r\ntext");

    const std::wstring emptyPath = folder.File(L"empty.txt");
    WriteBytes(emptyPath, "");
    loaded = L"before";
    ASSERT_TRUE(loaded.LoadFromFile(emptyPath.c_str()));
    EXPECT_EQ(loaded.GetLength(), 0);

    EXPECT_FALSE(loaded.LoadFromFile(folder.File(L"missing.txt").c_str()));
    EXPECT_FALSE(loaded.LoadFromFile(nullptr));
    EXPECT_FALSE(s.SaveToFile(nullptr));
}

}  // namespace
