#include <gtest/gtest.h>

#include <string>

#include "install/install.h"
#include "registry/registry.h"
#include "test_support.h"

namespace {

// A key of the test's own, standing in for a registry root.
class TestRoot : public ::testing::Test {
  protected:
    void SetUp() override {
        name_ = L"SOFTWARE\\TavoTest-InstallPath-" + std::to_wstring(GetCurrentProcessId());
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, name_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &root_, nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        RegCloseKey(root_);
        DeleteRegKey(HKEY_CURRENT_USER, name_.c_str(), 0);
    }
    void SetPath(DWORD type, const void* data, DWORD bytes) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExW(root_, kProductKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key, L"Path", 0, type, static_cast<const BYTE*>(data), bytes),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    void SetPathText(const std::wstring& text) {
        SetPath(REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    HKEY root_ = nullptr;
    std::wstring name_;
};

TEST_F(TestRoot, ReadsThePathUpTo259Characters) {
    wchar_t buffer[kInstallPathChars] = {};
    SetPathText(L"C:\\Program Files\\Velnor\\Tavo Suite");
    EXPECT_TRUE(GetTavoInstallPathFromReg(root_, buffer, kInstallPathChars));
    EXPECT_STREQ(buffer, L"C:\\Program Files\\Velnor\\Tavo Suite");

    const std::wstring longest(259, L'p');
    SetPathText(longest);
    EXPECT_TRUE(GetTavoInstallPathFromReg(root_, buffer, kInstallPathChars));
    EXPECT_EQ(std::wstring(buffer), longest);
}

TEST_F(TestRoot, LongerOrUnterminatedPathsAreUnknown) {
    wchar_t buffer[kInstallPathChars] = {};
    SetPathText(std::wstring(260, L'p'));
    EXPECT_FALSE(GetTavoInstallPathFromReg(root_, buffer, kInstallPathChars));
    EXPECT_EQ(buffer[0], L'\0');

    // 260 characters stored without a terminator fill the buffer exactly: no end to the path.
    // (The character after the data is not a zero either: the registry would add the terminator then.)
    const std::wstring unterminated(261, L'q');
    SetPath(REG_SZ, unterminated.data(), 520);
    wchar_t guarded[261];
    wmemset(guarded, L'x', 260);
    guarded[260] = L'!';
    EXPECT_FALSE(GetTavoInstallPathFromReg(root_, guarded, 520));
    EXPECT_EQ(guarded[0], L'\0');
    EXPECT_EQ(guarded[260], L'!');  // nothing written past the 520 bytes given
}

TEST_F(TestRoot, OnlyAStringIsAPath) {
    const std::wstring path = L"C:\\Program Files\\Velnor\\Tavo Suite";
    const DWORD bytes = static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t));
    for (DWORD type : {REG_BINARY, REG_MULTI_SZ, REG_NONE}) {
        SCOPED_TRACE(type);
        SetPath(type, path.c_str(), bytes);  // the bytes of a path, stored under another type
        wchar_t buffer[kInstallPathChars] = {};
        EXPECT_FALSE(GetTavoInstallPathFromReg(root_, buffer, kInstallPathChars));
        EXPECT_EQ(buffer[0], L'\0');
    }
    const DWORD number = 0x3A0043;  // "C:" as a number
    SetPath(REG_DWORD, &number, sizeof(number));
    wchar_t buffer[kInstallPathChars] = {};
    EXPECT_FALSE(GetTavoInstallPathFromReg(root_, buffer, kInstallPathChars));
    EXPECT_EQ(buffer[0], L'\0');

    SetPath(REG_EXPAND_SZ, path.c_str(), bytes);
    EXPECT_TRUE(GetTavoInstallPathFromReg(root_, buffer, kInstallPathChars));
    EXPECT_EQ(std::wstring(buffer), path);
}

TEST_F(TestRoot, MissingKeyValueOrBuffer) {
    wchar_t buffer[kInstallPathChars] = {};
    EXPECT_FALSE(GetTavoInstallPathFromReg(root_, buffer, kInstallPathChars));  // no key
    SetPathText(L"C:\\x");
    EXPECT_FALSE(GetTavoInstallPathFromReg(root_, nullptr, kInstallPathChars));
    EXPECT_FALSE(GetTavoInstallPathFromReg(root_, buffer, 4));  // too small for the value
}

// The install folder as the sequence reads it once for every step: "Path" of the machine's product key
// through the 520-byte buffer, a plain string as stored, an expandable one expanded, judged by the
// deletion guard.
TEST(ReadInstallFolder, ReadOnceAsStoredAndJudged) {
    struct Case {
        std::wstring stored;
        DWORD type;
        std::wstring path;
        FolderVerdict verdict;
    };
    wchar_t programFiles[MAX_PATH] = {};
    ASSERT_GT(ExpandEnvironmentStringsW(L"%ProgramFiles%", programFiles, MAX_PATH), 0u);
    const std::wstring suite = std::wstring(programFiles) + L"\\Velnor\\Tavo Suite";
    const std::wstring longest = L"C:\\" + std::wstring(256, L'p');  // 259 characters
    const Case cases[] = {
        {suite + L"\\", REG_SZ, suite, FolderVerdict::kMissing},
        {longest, REG_SZ, longest, FolderVerdict::kMissing},
        {L"%ProgramFiles%\\Velnor\\Tavo Suite", REG_SZ, L"%ProgramFiles%\\Velnor\\Tavo Suite",
         FolderVerdict::kNotAbsoluteLocal},
        {L"%ProgramFiles%\\Velnor\\Tavo Suite", REG_EXPAND_SZ, suite, FolderVerdict::kMissing},
        {L"%ProgramFiles%", REG_EXPAND_SZ, programFiles, FolderVerdict::kProtectedFolder},
        // 260 to 519 characters do not fit the buffer: unknown, for every step alike.
        {L"C:\\" + std::wstring(257, L'p'), REG_SZ, L"", FolderVerdict::kNotAbsoluteLocal},
        {L"C:\\" + std::wstring(516, L'p'), REG_SZ, L"", FolderVerdict::kNotAbsoluteLocal},
        {L"%ProgramFiles%\\" + std::wstring(250, L'p'), REG_EXPAND_SZ, L"", FolderVerdict::kNotAbsoluteLocal},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(tavo::test::Narrow(c.stored));
        ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, L"Path", c.stored.c_str(), 0, c.type));
        const InstallFolder folder = ReadInstallFolder();
        EXPECT_EQ(folder.path, c.path);
        EXPECT_EQ(static_cast<int>(folder.verdict), static_cast<int>(c.verdict));
        const bool trusted = c.verdict == FolderVerdict::kMissing;
        EXPECT_EQ(folder.Trusted(), trusted);
        EXPECT_EQ(std::wstring(folder.TrustedPath()), trusted ? c.path : L"");
    }
    // The run's folder is the one given, whatever the registry says later.
    SetRunInstallFolder(ReadInstallFolder());
    ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, L"Path", suite.c_str(), 0, REG_SZ));
    EXPECT_EQ(RunInstallFolder().path, L"");
    DeleteRegKey(HKEY_LOCAL_MACHINE, kProductKey, 0);
}

}  // namespace
