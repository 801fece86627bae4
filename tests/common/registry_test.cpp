#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "registry/registry.h"
#include "session/session.h"
#include "support/scoped.h"
#include "system/system_facts.h"
#include "test_support.h"

using tavo::test::KeyExists;
using tavo::test::Text;

namespace {

constexpr DWORD k64 = KEY_WOW64_64KEY;
constexpr DWORD k32 = KEY_WOW64_32KEY;

// 64-bit Windows keeps a 64-bit and a 32-bit view of HKLM\SOFTWARE; 32-bit Windows has one view and
// ignores the view flags.
bool TwoViews() { return tavo::test::SixtyFourBitWindows(); }

// Raw helpers that set up and inspect the machine without the code under test.
void RawSet(HKEY root, const std::wstring& subkey, LPCWSTR name, DWORD type, const void* data, DWORD bytes,
            DWORD view) {
    tavo::ScopedRegKey key;
    ASSERT_EQ(RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, key.put(),
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
}

void RawSetString(HKEY root, const std::wstring& subkey, LPCWSTR name, DWORD type, const std::wstring& text,
                  DWORD view) {
    RawSet(root, subkey, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)),
           view);
}

void RawSetDword(HKEY root, const std::wstring& subkey, LPCWSTR name, DWORD value, DWORD view) {
    RawSet(root, subkey, name, REG_DWORD, &value, sizeof(value), view);
}

void RawCreate(HKEY root, const std::wstring& subkey, DWORD view) {
    tavo::ScopedRegKey key;
    ASSERT_EQ(RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, key.put(),
                              nullptr),
              ERROR_SUCCESS);
}

bool RawValueExists(HKEY root, const std::wstring& subkey, LPCWSTR name, DWORD view) {
    tavo::ScopedRegKey key;
    if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS)
        return false;
    return RegQueryValueExW(key.get(), name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

std::vector<BYTE> RawRead(HKEY root, const std::wstring& subkey, LPCWSTR name, DWORD view, DWORD* type) {
    tavo::ScopedRegKey key;
    std::vector<BYTE> data(4096);
    DWORD bytes = static_cast<DWORD>(data.size());
    if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS ||
        RegQueryValueExW(key.get(), name, nullptr, type, data.data(), &bytes) != ERROR_SUCCESS) {
        return {};
    }
    data.resize(bytes);
    return data;
}

// Removes a tree with the system's own recursive delete.
void RawDeleteTree(HKEY root, const std::wstring& subkey, DWORD view) {
    tavo::ScopedRegKey key;
    if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_ALL_ACCESS | view, key.put()) != ERROR_SUCCESS) return;
    RegDeleteTreeW(key.get(), nullptr);
    key.reset();
    RegDeleteKeyExW(root, subkey.c_str(), view, 0);
}

std::vector<std::wstring> Texts(const std::vector<CStringEx>& list) {
    std::vector<std::wstring> texts;
    for (const CStringEx& text : list) texts.push_back(Text(text));
    return texts;
}

std::wstring UniqueName(LPCWSTR prefix) {
    wchar_t name[96];
    swprintf(name, 96, L"%ls_%lu_%lu", prefix, GetCurrentProcessId(), GetTickCount());
    return name;
}

// A unique key under HKLM\SOFTWARE in both views and under HKCU\Software, removed afterwards.
class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_name = UniqueName(L"TavoRegistryTest");
        m_key = L"SOFTWARE\\" + m_name;
    }
    void TearDown() override {
        RawDeleteTree(HKEY_LOCAL_MACHINE, m_key, k64);
        RawDeleteTree(HKEY_LOCAL_MACHINE, m_key, k32);
        RawDeleteTree(HKEY_CURRENT_USER, m_key, 0);
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, m_key, k64));
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, m_key, k32));
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, m_key, 0));
    }
    std::wstring Sub(LPCWSTR path) const { return m_key + L"\\" + path; }

    std::wstring m_name;
    std::wstring m_key;
};

TEST(SystemFacts, WindowsBitnessAndWow64Folder) {
    const bool sixtyFour = tavo::test::SixtyFourBitWindows();
    EXPECT_EQ(Is64BitWindows() != FALSE, sixtyFour);
    EXPECT_EQ(Is64BitWindows() != FALSE, sixtyFour);  // from the cache
    wchar_t folder[MAX_PATH] = {};
    if (sixtyFour) {
        EXPECT_TRUE(VlrGetSystemWow64Directory(folder, MAX_PATH));
        EXPECT_NE(std::wstring(folder).find(L"syswow64"), std::wstring::npos) << "folder: " << folder;
    } else {
        // 32-bit Windows has no WoW64 system folder.
        EXPECT_FALSE(VlrGetSystemWow64Directory(folder, MAX_PATH));
    }
    EXPECT_FALSE(VlrGetSystemWow64Directory(nullptr, MAX_PATH));
}

TEST(SystemFacts, VersionTypeOfThisMachineIsVistaOrLater) {
    EXPECT_EQ(GetOSVersionType(), 8);
    EXPECT_EQ(GetOSVersionType(), 8);
}

TEST(SystemFacts, VersionTable) {
    EXPECT_EQ(MapOSVersionType(VER_PLATFORM_WIN32_WINDOWS, 4, 0), 1);
    EXPECT_EQ(MapOSVersionType(VER_PLATFORM_WIN32_WINDOWS, 4, 10), 2);
    EXPECT_EQ(MapOSVersionType(VER_PLATFORM_WIN32_WINDOWS, 4, 90), 4);
    EXPECT_EQ(MapOSVersionType(VER_PLATFORM_WIN32_WINDOWS, 4, 1), 0);
    EXPECT_EQ(MapOSVersionType(VER_PLATFORM_WIN32_NT, 3, 51), 3);
    EXPECT_EQ(MapOSVersionType(VER_PLATFORM_WIN32_NT, 4, 0), 3);
    EXPECT_EQ(MapOSVersionType(VER_PLATFORM_WIN32_NT, 5, 0), 5);
    EXPECT_EQ(MapOSVersionType(VER_PLATFORM_WIN32_NT, 5, 1), 6);
    EXPECT_EQ(MapOSVersionType(VER_PLATFORM_WIN32_NT, 5, 2), 0);  // Server 2003 / XP x64: unknown
    EXPECT_EQ(MapOSVersionType(VER_PLATFORM_WIN32_NT, 6, 0), 8);
    EXPECT_EQ(MapOSVersionType(VER_PLATFORM_WIN32_NT, 10, 0), 8);
    EXPECT_EQ(MapOSVersionType(VER_PLATFORM_WIN32s, 3, 1), 0);
}

// The test program is interactive (its token holds S-1-5-4): its own hive stands for HKEY_CURRENT_USER.
TEST(Profile, InteractiveProcessUsesCurrentUser) { EXPECT_EQ(GetLogonUserProfileKey(), HKEY_CURRENT_USER); }

TEST_F(RegistryTest, ValueWrittenInTheSixtyFourBitView) {
    ASSERT_TRUE(WriteRegDword(HKEY_LOCAL_MACHINE, m_key.c_str(), L"Only64", 64, k64));
    DWORD value = 0;
    EXPECT_TRUE(ReadRegDword(HKEY_LOCAL_MACHINE, m_key.c_str(), L"Only64", &value, k64));
    EXPECT_EQ(value, 64u);
    if (TwoViews()) {
        // Invisible in the 32-bit view, which is the process's own.
        EXPECT_FALSE(ReadRegDword(HKEY_LOCAL_MACHINE, m_key.c_str(), L"Only64", &value, k32));
        EXPECT_FALSE(ReadRegDword(HKEY_LOCAL_MACHINE, m_key.c_str(), L"Only64", &value, 0));
        EXPECT_FALSE(IsRegKeyExist(HKEY_LOCAL_MACHINE, m_key.c_str(), k32));
    } else {
        // The one view: visible whatever the flag.
        value = 0;
        EXPECT_TRUE(ReadRegDword(HKEY_LOCAL_MACHINE, m_key.c_str(), L"Only64", &value, k32));
        EXPECT_EQ(value, 64u);
        value = 0;
        EXPECT_TRUE(ReadRegDword(HKEY_LOCAL_MACHINE, m_key.c_str(), L"Only64", &value, 0));
        EXPECT_EQ(value, 64u);
        EXPECT_TRUE(IsRegKeyExist(HKEY_LOCAL_MACHINE, m_key.c_str(), k32));
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\" + m_name, 0));
    }
    // The raw 64-bit view agrees.
    EXPECT_TRUE(RawValueExists(HKEY_LOCAL_MACHINE, m_key, L"Only64", k64));
}

TEST_F(RegistryTest, ValueWrittenInTheThirtyTwoBitView) {
    ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, m_key.c_str(), L"Only32", L"thirty-two", k32, REG_SZ));
    CStringEx text;
    EXPECT_TRUE(ReadRegString(HKEY_LOCAL_MACHINE, m_key.c_str(), L"Only32", text, k32));
    EXPECT_EQ(Text(text), L"thirty-two");
    // The process's own view of a 32-bit program is the 32-bit one.
    EXPECT_TRUE(ReadRegString(HKEY_LOCAL_MACHINE, m_key.c_str(), L"Only32", text, 0));
    EXPECT_EQ(Text(text), L"thirty-two");
    if (TwoViews()) {
        // Invisible in the 64-bit view, which sees it under Wow6432Node.
        EXPECT_FALSE(ReadRegString(HKEY_LOCAL_MACHINE, m_key.c_str(), L"Only32", text, k64));
        EXPECT_TRUE(text.IsEmpty());
        EXPECT_FALSE(IsRegKeyExist(HKEY_LOCAL_MACHINE, m_key.c_str(), k64));
        EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\" + m_name, k64));
    } else {
        // The one view: visible whatever the flag, and nothing is redirected.
        text = L"old";
        EXPECT_TRUE(ReadRegString(HKEY_LOCAL_MACHINE, m_key.c_str(), L"Only32", text, k64));
        EXPECT_EQ(Text(text), L"thirty-two");
        EXPECT_TRUE(IsRegKeyExist(HKEY_LOCAL_MACHINE, m_key.c_str(), k64));
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\" + m_name, k64));
    }
}

TEST_F(RegistryTest, CreateAndExist) {
    EXPECT_FALSE(IsRegKeyExist(HKEY_LOCAL_MACHINE, m_key.c_str(), k64));
    tavo::ScopedRegKey key(CreateRegKey(HKEY_LOCAL_MACHINE, Sub(L"a\\b").c_str(), k64));
    ASSERT_TRUE(key);
    EXPECT_EQ(RegSetValueExW(key.get(), L"v", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"x"), 4),
              ERROR_SUCCESS);
    EXPECT_TRUE(IsRegKeyExist(HKEY_LOCAL_MACHINE, Sub(L"a\\b").c_str(), k64));
    // In the 32-bit view only where it is the same view.
    EXPECT_EQ(IsRegKeyExist(HKEY_LOCAL_MACHINE, Sub(L"a\\b").c_str(), k32) != FALSE, !TwoViews());
    EXPECT_EQ(CreateRegKey(nullptr, L"x", 0), nullptr);
    EXPECT_EQ(CreateRegKey(HKEY_LOCAL_MACHINE, nullptr, 0), nullptr);
    EXPECT_FALSE(IsRegKeyExist(nullptr, m_key.c_str(), 0));
    EXPECT_FALSE(IsRegKeyExist(HKEY_LOCAL_MACHINE, nullptr, 0));
}

TEST_F(RegistryTest, DeleteRegKeyRemovesNestedTree) {
    RawSetDword(HKEY_LOCAL_MACHINE, Sub(L"tree"), L"top", 1, k64);
    RawSetDword(HKEY_LOCAL_MACHINE, Sub(L"tree\\a"), L"a", 2, k64);
    RawSetString(HKEY_LOCAL_MACHINE, Sub(L"tree\\a\\deep\\deeper\\deepest"), L"s", REG_SZ, L"text", k64);
    RawCreate(HKEY_LOCAL_MACHINE, Sub(L"tree\\b"), k64);
    RawCreate(HKEY_LOCAL_MACHINE, Sub(L"tree\\b\\empty"), k64);
    RawSetDword(HKEY_LOCAL_MACHINE, Sub(L"sibling"), L"keep", 3, k64);
    // The same tree name in the other view stays (with one view it is the same tree, and goes with it).
    RawSetDword(HKEY_LOCAL_MACHINE, Sub(L"tree\\a"), L"other", 4, k32);

    EXPECT_TRUE(DeleteRegKey(HKEY_LOCAL_MACHINE, Sub(L"tree").c_str(), k64));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Sub(L"tree"), k64));
    EXPECT_TRUE(RawValueExists(HKEY_LOCAL_MACHINE, Sub(L"sibling"), L"keep", k64));
    EXPECT_EQ(RawValueExists(HKEY_LOCAL_MACHINE, Sub(L"tree\\a"), L"other", k32), TwoViews());
}

TEST_F(RegistryTest, DeleteRegKeyOnOpenParent) {
    RawSetDword(HKEY_CURRENT_USER, Sub(L"p\\c\\d"), L"v", 1, 0);
    tavo::ScopedRegKey parent;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, Sub(L"p").c_str(), 0, KEY_ALL_ACCESS, parent.put()),
              ERROR_SUCCESS);
    EXPECT_TRUE(DeleteRegKey(parent.get(), L"c", 0));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Sub(L"p\\c"), 0));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Sub(L"p"), 0));
}

TEST_F(RegistryTest, DeleteRegKeyRefusesMissingAndEmptyNames) {
    RawSetDword(HKEY_LOCAL_MACHINE, m_key, L"v", 1, k64);
    EXPECT_FALSE(DeleteRegKey(HKEY_LOCAL_MACHINE, Sub(L"missing").c_str(), k64));
    tavo::ScopedRegKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, KEY_ALL_ACCESS | k64, key.put()),
              ERROR_SUCCESS);
    EXPECT_FALSE(DeleteRegKey(key.get(), L"", 0));
    EXPECT_FALSE(DeleteRegKey(key.get(), L"\\", 0));
    EXPECT_FALSE(DeleteRegKey(key.get(), nullptr, 0));
    EXPECT_FALSE(DeleteRegKey(nullptr, m_key.c_str(), k64));
    EXPECT_TRUE(RawValueExists(HKEY_LOCAL_MACHINE, m_key, L"v", k64));
}

TEST_F(RegistryTest, DeleteRegValue) {
    // Two values in two views; with one view the second write replaces the first.
    RawSetDword(HKEY_LOCAL_MACHINE, m_key, L"gone", 1, k64);
    RawSetDword(HKEY_LOCAL_MACHINE, m_key, L"gone", 2, k32);
    DWORD type = 0;
    const std::vector<BYTE> data = RawRead(HKEY_LOCAL_MACHINE, m_key, L"gone", k64, &type);
    ASSERT_EQ(data.size(), sizeof(DWORD));
    EXPECT_EQ(data[0], TwoViews() ? 1 : 2);
    EXPECT_TRUE(DeleteRegValue(HKEY_LOCAL_MACHINE, m_key.c_str(), L"gone", k64));
    EXPECT_FALSE(RawValueExists(HKEY_LOCAL_MACHINE, m_key, L"gone", k64));
    EXPECT_EQ(RawValueExists(HKEY_LOCAL_MACHINE, m_key, L"gone", k32), TwoViews());
    EXPECT_FALSE(DeleteRegValue(HKEY_LOCAL_MACHINE, m_key.c_str(), L"gone", k64));
    EXPECT_FALSE(DeleteRegValue(HKEY_LOCAL_MACHINE, m_key.c_str(), nullptr, k32));
    EXPECT_EQ(RawValueExists(HKEY_LOCAL_MACHINE, m_key, L"gone", k32), TwoViews());
}

TEST_F(RegistryTest, EnumerateSubKeysAndValueNames) {
    RawCreate(HKEY_LOCAL_MACHINE, Sub(L"e\\one"), k64);
    RawCreate(HKEY_LOCAL_MACHINE, Sub(L"e\\two"), k64);
    RawCreate(HKEY_LOCAL_MACHINE, Sub(L"e\\three"), k32);
    RawSetDword(HKEY_LOCAL_MACHINE, Sub(L"e"), L"alpha", 1, k64);
    RawSetDword(HKEY_LOCAL_MACHINE, Sub(L"e"), L"beta", 2, k64);

    // Each view lists its own subkeys; the one view of 32-bit Windows lists all three through either flag.
    const std::vector<std::wstring> sixtyFour = TwoViews()
                                                    ? std::vector<std::wstring>{L"one", L"two"}
                                                    : std::vector<std::wstring>{L"one", L"three", L"two"};
    const std::vector<std::wstring> thirtyTwo = TwoViews()
                                                    ? std::vector<std::wstring>{L"three"}
                                                    : std::vector<std::wstring>{L"one", L"three", L"two"};

    std::vector<CStringEx> names{L"kept"};
    EXPECT_TRUE(EnumRegSubKeys(HKEY_LOCAL_MACHINE, Sub(L"e").c_str(), names, TRUE));
    ASSERT_EQ(names.size(), 1 + sixtyFour.size());
    EXPECT_EQ(Text(names[0]), L"kept");
    names.erase(names.begin());
    EXPECT_EQ(Texts(names), sixtyFour);

    names.clear();
    EXPECT_TRUE(EnumRegSubKeys(HKEY_LOCAL_MACHINE, Sub(L"e").c_str(), names, FALSE));
    EXPECT_EQ(Texts(names), thirtyTwo);

    names.clear();
    EXPECT_TRUE(EnumRegValueNames(HKEY_LOCAL_MACHINE, Sub(L"e").c_str(), names, k64));
    EXPECT_EQ(Texts(names), (std::vector<std::wstring>{L"alpha", L"beta"}));

    // An empty key: the key query is the last call and succeeds.
    names.clear();
    EXPECT_TRUE(EnumRegSubKeys(HKEY_LOCAL_MACHINE, Sub(L"e\\one").c_str(), names, TRUE));
    EXPECT_TRUE(EnumRegValueNames(HKEY_LOCAL_MACHINE, Sub(L"e\\one").c_str(), names, k64));
    EXPECT_TRUE(names.empty());

    EXPECT_FALSE(EnumRegSubKeys(HKEY_LOCAL_MACHINE, Sub(L"missing").c_str(), names, TRUE));
    EXPECT_FALSE(EnumRegValueNames(HKEY_LOCAL_MACHINE, Sub(L"missing").c_str(), names, k64));
    EXPECT_FALSE(EnumRegSubKeys(HKEY_LOCAL_MACHINE, nullptr, names, TRUE));
    EXPECT_TRUE(names.empty());
}

TEST_F(RegistryTest, ValueTypeAndSize) {
    RawSetString(HKEY_LOCAL_MACHINE, m_key, L"s", REG_SZ, L"abc", k64);
    RawSetDword(HKEY_LOCAL_MACHINE, m_key, L"d", 5, k64);
    const BYTE bytes[3] = {1, 2, 3};
    RawSet(HKEY_LOCAL_MACHINE, m_key, L"b", REG_BINARY, bytes, 3, k64);
    EXPECT_EQ(GetRegValueType(HKEY_LOCAL_MACHINE, m_key.c_str(), L"s", k64), static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(GetRegValueType(HKEY_LOCAL_MACHINE, m_key.c_str(), L"d", k64), static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(GetRegValueType(HKEY_LOCAL_MACHINE, m_key.c_str(), L"b", k64), static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(GetRegValueType(HKEY_LOCAL_MACHINE, m_key.c_str(), L"missing", k64), 0u);
    // Absent from the 32-bit view, unless that is the same view.
    EXPECT_EQ(GetRegValueType(HKEY_LOCAL_MACHINE, m_key.c_str(), L"s", k32),
              TwoViews() ? 0u : static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(GetRegValueSize(HKEY_LOCAL_MACHINE, m_key.c_str(), L"s", k64), 8);
    EXPECT_EQ(GetRegValueSize(HKEY_LOCAL_MACHINE, m_key.c_str(), L"d", k64), 4);
    EXPECT_EQ(GetRegValueSize(HKEY_LOCAL_MACHINE, m_key.c_str(), L"b", k64), 3);
    EXPECT_EQ(GetRegValueSize(HKEY_LOCAL_MACHINE, m_key.c_str(), L"missing", k64), -1);
    EXPECT_EQ(GetRegValueSize(HKEY_LOCAL_MACHINE, m_key.c_str(), nullptr, k64), -1);
}

TEST_F(RegistryTest, ReadDwordOnlyForDwordType) {
    RawSetDword(HKEY_LOCAL_MACHINE, m_key, L"d", 0xA1B2C3D4, k64);
    RawSetString(HKEY_LOCAL_MACHINE, m_key, L"s", REG_SZ, L"1", k64);
    const ULONGLONG big = 7;
    RawSet(HKEY_LOCAL_MACHINE, m_key, L"q", REG_QWORD, &big, sizeof(big), k64);
    DWORD value = 99;
    EXPECT_TRUE(ReadRegDword(HKEY_LOCAL_MACHINE, m_key.c_str(), L"d", &value, k64));
    EXPECT_EQ(value, 0xA1B2C3D4u);
    value = 99;
    EXPECT_FALSE(ReadRegDword(HKEY_LOCAL_MACHINE, m_key.c_str(), L"s", &value, k64));
    EXPECT_EQ(value, 99u);
    EXPECT_FALSE(ReadRegDword(HKEY_LOCAL_MACHINE, m_key.c_str(), L"q", &value, k64));
    EXPECT_FALSE(ReadRegDword(HKEY_LOCAL_MACHINE, m_key.c_str(), L"d", nullptr, k64));
    EXPECT_EQ(value, 99u);
}

TEST_F(RegistryTest, ReadBinary) {
    const BYTE bytes[3] = {0xDE, 0xAD, 0xBE};
    RawSet(HKEY_LOCAL_MACHINE, m_key, L"b", REG_BINARY, bytes, 3, k64);
    RawSetDword(HKEY_LOCAL_MACHINE, m_key, L"d", 1, k64);
    BYTE buffer[6];
    memset(buffer, 0x55, sizeof(buffer));
    EXPECT_TRUE(ReadRegBinary(HKEY_LOCAL_MACHINE, m_key.c_str(), L"b", buffer, 5, k64));
    EXPECT_EQ(buffer[0], 0xDE);
    EXPECT_EQ(buffer[2], 0xBE);
    EXPECT_EQ(buffer[3], 0);     // cleared
    EXPECT_EQ(buffer[4], 0);     // cleared
    EXPECT_EQ(buffer[5], 0x55);  // beyond the stated size: untouched
    EXPECT_FALSE(ReadRegBinary(HKEY_LOCAL_MACHINE, m_key.c_str(), L"b", buffer, 2, k64));  // too small
    EXPECT_FALSE(ReadRegBinary(HKEY_LOCAL_MACHINE, m_key.c_str(), L"d", buffer, 5, k64));
    EXPECT_FALSE(ReadRegBinary(HKEY_LOCAL_MACHINE, m_key.c_str(), L"b", nullptr, 5, k64));
}

TEST_F(RegistryTest, ReadSzOnlyForPlainStrings) {
    RawSetString(HKEY_LOCAL_MACHINE, m_key, L"sz", REG_SZ, L"plain", k64);
    RawSetString(HKEY_LOCAL_MACHINE, m_key, L"expand", REG_EXPAND_SZ, L"%TEMP%\\x", k64);
    const wchar_t multi[] = L"a\0b\0";
    RawSet(HKEY_LOCAL_MACHINE, m_key, L"multi", REG_MULTI_SZ, multi, sizeof(multi), k64);
    wchar_t buffer[32];
    wmemset(buffer, L'#', 32);
    EXPECT_TRUE(ReadRegSz(HKEY_LOCAL_MACHINE, m_key.c_str(), L"sz", buffer, 16, k64));
    EXPECT_STREQ(buffer, L"plain");
    EXPECT_EQ(buffer[15], L'\0');  // cleared
    EXPECT_EQ(buffer[16], L'#');   // beyond `count`: untouched
    EXPECT_FALSE(ReadRegSz(HKEY_LOCAL_MACHINE, m_key.c_str(), L"expand", buffer, 16, k64));
    EXPECT_STREQ(buffer, L"%TEMP%\\x");
    EXPECT_FALSE(ReadRegSz(HKEY_LOCAL_MACHINE, m_key.c_str(), L"multi", buffer, 16, k64));
    EXPECT_FALSE(ReadRegSz(HKEY_LOCAL_MACHINE, m_key.c_str(), L"sz", buffer, 3, k64));  // too small
    EXPECT_FALSE(ReadRegSz(HKEY_LOCAL_MACHINE, m_key.c_str(), L"sz", buffer, 0, k64));
    EXPECT_FALSE(ReadRegSz(HKEY_LOCAL_MACHINE, m_key.c_str(), L"sz", nullptr, 16, k64));
}

TEST_F(RegistryTest, ReadSzAlwaysTerminatesTheBuffer) {
    // Four characters stored without their terminator. (The system adds a forgotten terminator when the
    // character after the data is one, so the data is followed by another character.)
    RawSet(HKEY_LOCAL_MACHINE, m_key, L"raw", REG_SZ, L"abcdX", 8, k64);
    ASSERT_EQ(GetRegValueSize(HKEY_LOCAL_MACHINE, m_key.c_str(), L"raw", k64), 8);
    wchar_t buffer[8];
    wmemset(buffer, L'#', 8);
    // Exactly as large as the data: nothing is left for a terminator.
    EXPECT_FALSE(ReadRegSz(HKEY_LOCAL_MACHINE, m_key.c_str(), L"raw", buffer, 4, k64));
    EXPECT_STREQ(buffer, L"abc");
    EXPECT_EQ(buffer[4], L'#');
    // One character more: terminated by the cleared rest.
    EXPECT_TRUE(ReadRegSz(HKEY_LOCAL_MACHINE, m_key.c_str(), L"raw", buffer, 5, k64));
    EXPECT_STREQ(buffer, L"abcd");
    CStringEx text;
    EXPECT_TRUE(ReadRegString(HKEY_LOCAL_MACHINE, m_key.c_str(), L"raw", text, k64));
    EXPECT_EQ(Text(text), L"abcd");
}

TEST_F(RegistryTest, ReadString) {
    RawSetString(HKEY_LOCAL_MACHINE, m_key, L"sz", REG_SZ, L"Hello, registry", k64);
    RawSetString(HKEY_LOCAL_MACHINE, m_key, L"expand", REG_EXPAND_SZ, L"%SystemRoot%\\x", k64);
    RawSet(HKEY_LOCAL_MACHINE, m_key, L"empty", REG_SZ, L"", 0, k64);
    CStringEx text = L"old";
    EXPECT_TRUE(ReadRegString(HKEY_LOCAL_MACHINE, m_key.c_str(), L"sz", text, k64));
    EXPECT_EQ(Text(text), L"Hello, registry");
    EXPECT_FALSE(text.IsLocked());
    // REG_EXPAND_SZ: false, yet the text is there.
    EXPECT_FALSE(ReadRegString(HKEY_LOCAL_MACHINE, m_key.c_str(), L"expand", text, k64));
    EXPECT_EQ(Text(text), L"%SystemRoot%\\x");
    EXPECT_FALSE(text.IsLocked());
    // A value of zero bytes: false, empty, and the string stays locked (GetBuffer handed out no block).
    EXPECT_FALSE(ReadRegString(HKEY_LOCAL_MACHINE, m_key.c_str(), L"empty", text, k64));
    EXPECT_TRUE(text.IsEmpty());
    EXPECT_TRUE(text.IsLocked());
    text = L"old";
    EXPECT_FALSE(ReadRegString(HKEY_LOCAL_MACHINE, m_key.c_str(), L"missing", text, k64));
    EXPECT_TRUE(text.IsEmpty());
    EXPECT_FALSE(text.IsLocked());  // emptied first, which unlocks
    // A long value.
    std::wstring longText(3000, L'x');
    RawSetString(HKEY_LOCAL_MACHINE, m_key, L"long", REG_SZ, longText, k64);
    EXPECT_TRUE(ReadRegString(HKEY_LOCAL_MACHINE, m_key.c_str(), L"long", text, k64));
    EXPECT_EQ(Text(text), longText);
}

TEST_F(RegistryTest, WriteStringCreatesTheKeyAndWritesTheTerminator) {
    EXPECT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, Sub(L"new\\deeper").c_str(), L"s", L"abc", k64, REG_SZ));
    DWORD type = 0;
    std::vector<BYTE> data = RawRead(HKEY_LOCAL_MACHINE, Sub(L"new\\deeper"), L"s", k64, &type);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    ASSERT_EQ(data.size(), 8u);
    EXPECT_EQ(0, memcmp(data.data(), L"abc", 8));
    EXPECT_EQ(IsRegKeyExist(HKEY_LOCAL_MACHINE, Sub(L"new").c_str(), k32) != FALSE, !TwoViews());

    // Overwrite with another type through the string variant.
    EXPECT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, Sub(L"new\\deeper").c_str(), L"s", CStringEx(L"%x%"), k64,
                               REG_EXPAND_SZ));
    data = RawRead(HKEY_LOCAL_MACHINE, Sub(L"new\\deeper"), L"s", k64, &type);
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(data.size(), 8u);

    // An empty text is one terminator.
    EXPECT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, m_key.c_str(), L"e", L"", k64, REG_SZ));
    EXPECT_EQ(GetRegValueSize(HKEY_LOCAL_MACHINE, m_key.c_str(), L"e", k64), 2);

    EXPECT_FALSE(WriteRegString(HKEY_LOCAL_MACHINE, m_key.c_str(), L"n", nullptr, k64, REG_SZ));
    EXPECT_FALSE(WriteRegString(HKEY_LOCAL_MACHINE, m_key.c_str(), nullptr, L"x", k64, REG_SZ));
    EXPECT_FALSE(WriteRegString(HKEY_LOCAL_MACHINE, nullptr, L"n", L"x", k64, REG_SZ));
    EXPECT_FALSE(WriteRegString(nullptr, m_key.c_str(), L"n", CStringEx(L"x"), k64, REG_SZ));
    EXPECT_FALSE(RawValueExists(HKEY_LOCAL_MACHINE, m_key, L"n", k64));
}

TEST_F(RegistryTest, WriteDword) {
    EXPECT_TRUE(WriteRegDword(HKEY_CURRENT_USER, Sub(L"d").c_str(), L"v", 0x12345678, 0));
    DWORD type = 0;
    std::vector<BYTE> data = RawRead(HKEY_CURRENT_USER, Sub(L"d"), L"v", 0, &type);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    ASSERT_EQ(data.size(), 4u);
    DWORD value = 0;
    memcpy(&value, data.data(), 4);
    EXPECT_EQ(value, 0x12345678u);
    EXPECT_FALSE(WriteRegDword(HKEY_CURRENT_USER, Sub(L"d").c_str(), nullptr, 1, 0));
}

// A registry link under the test key pointing at another test key, both in the 64-bit view.
TEST_F(RegistryTest, DeleteRegKeyRemovesALinkButNotItsTarget) {
    RawSetDword(HKEY_LOCAL_MACHINE, Sub(L"target"), L"keep", 7, k64);
    RawSetDword(HKEY_LOCAL_MACHINE, Sub(L"target\\child"), L"keep", 8, k64);
    RawSetDword(HKEY_LOCAL_MACHINE, Sub(L"parent"), L"v", 1, k64);
    {
        tavo::ScopedRegKey link;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, Sub(L"parent\\link").c_str(), 0, nullptr,
                                  REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS | KEY_CREATE_LINK | k64, nullptr,
                                  link.put(), nullptr),
                  ERROR_SUCCESS);
        const std::wstring target = L"\\Registry\\Machine\\" + Sub(L"target");
        ASSERT_EQ(RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK,
                                 reinterpret_cast<const BYTE*>(target.c_str()),
                                 static_cast<DWORD>(target.size() * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    // The link is followed: the target's value reads through it.
    DWORD value = 0;
    EXPECT_TRUE(ReadRegDword(HKEY_LOCAL_MACHINE, Sub(L"parent\\link").c_str(), L"keep", &value, k64));
    EXPECT_EQ(value, 7u);
    std::vector<CStringEx> names;
    EXPECT_TRUE(EnumRegSubKeys(HKEY_LOCAL_MACHINE, Sub(L"parent\\link").c_str(), names, TRUE));
    EXPECT_EQ(Texts(names), std::vector<std::wstring>{L"child"});

    EXPECT_TRUE(DeleteRegKey(HKEY_LOCAL_MACHINE, Sub(L"parent").c_str(), k64));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Sub(L"parent"), k64));
    EXPECT_TRUE(RawValueExists(HKEY_LOCAL_MACHINE, Sub(L"target"), L"keep", k64));
    EXPECT_TRUE(RawValueExists(HKEY_LOCAL_MACHINE, Sub(L"target\\child"), L"keep", k64));
}

// A link named directly: the link goes, the target stays.
TEST_F(RegistryTest, DeleteRegKeyOnALinkItself) {
    RawSetDword(HKEY_LOCAL_MACHINE, Sub(L"target"), L"keep", 7, k64);
    {
        tavo::ScopedRegKey link;
        ASSERT_EQ(
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, Sub(L"link").c_str(), 0, nullptr, REG_OPTION_CREATE_LINK,
                            KEY_ALL_ACCESS | KEY_CREATE_LINK | k64, nullptr, link.put(), nullptr),
            ERROR_SUCCESS);
        const std::wstring target = L"\\Registry\\Machine\\" + Sub(L"target");
        ASSERT_EQ(RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK,
                                 reinterpret_cast<const BYTE*>(target.c_str()),
                                 static_cast<DWORD>(target.size() * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    EXPECT_TRUE(DeleteRegKey(HKEY_LOCAL_MACHINE, Sub(L"link").c_str(), k64));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Sub(L"link"), k64));
    EXPECT_TRUE(RawValueExists(HKEY_LOCAL_MACHINE, Sub(L"target"), L"keep", k64));
}

// The product key under HKCU and under HKLM (32-bit view), put back as it was found.
class ProductSettingsTest : public ::testing::Test {
  protected:
    static constexpr LPCWSTR kVendor = L"SOFTWARE\\Velnor";
    static constexpr LPCWSTR kProduct = L"SOFTWARE\\Velnor\\Plugins";
    void SetUp() override {
        // A fresh machine has no product; a test must not destroy one that exists.
        ASSERT_FALSE(KeyExists(HKEY_CURRENT_USER, kVendor, 0));
        ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kVendor, k32));
        ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kVendor, k64));
    }
    void TearDown() override {
        RawDeleteTree(HKEY_CURRENT_USER, kVendor, 0);
        RawDeleteTree(HKEY_LOCAL_MACHINE, kVendor, k32);
        RawDeleteTree(HKEY_LOCAL_MACHINE, kVendor, k64);
    }
};

TEST_F(ProductSettingsTest, StringsAndNumbersRoundTrip) {
    CStringEx text = L"stale";
    EXPECT_FALSE(GetUserEmail(text));
    EXPECT_TRUE(text.IsEmpty());
    EXPECT_TRUE(SetMTAUploadInfo(L"info"));
    EXPECT_TRUE(SetMTAUploadURL(L"https://upload.example/x"));
    EXPECT_TRUE(SetTelemetryInfo(L"telemetry"));
    EXPECT_TRUE(SetUserEmail(L"user@example.com"));
    EXPECT_FALSE(SetUserEmail(nullptr));
    EXPECT_TRUE(SetUserID(4242));
    EXPECT_TRUE(SetVirtualEnv(1));
    EXPECT_TRUE(GetMTAUploadInfo(text));
    EXPECT_EQ(Text(text), L"info");
    EXPECT_TRUE(GetMTAUploadURL(text));
    EXPECT_EQ(Text(text), L"https://upload.example/x");
    EXPECT_TRUE(GetTelemetryInfo(text));
    EXPECT_EQ(Text(text), L"telemetry");
    EXPECT_TRUE(GetUserEmail(text));
    EXPECT_EQ(Text(text), L"user@example.com");
    DWORD value = 0;
    EXPECT_TRUE(GetUserID(&value));
    EXPECT_EQ(value, 4242u);
    EXPECT_TRUE(GetVirtualEnv(&value));
    EXPECT_EQ(value, 1u);
    // Where they live: HKCU, as REG_SZ and REG_DWORD.
    DWORD type = 0;
    RawRead(HKEY_CURRENT_USER, kProduct, L"UserEmail", 0, &type);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    RawRead(HKEY_CURRENT_USER, kProduct, L"UserID", 0, &type);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProduct, k32));
}

TEST_F(ProductSettingsTest, MsiInstallCombinations) {
    EXPECT_FALSE(IsMsiInstall());  // both absent

    RawSetDword(HKEY_CURRENT_USER, kProduct, L"msitype", 2, 0);  // only the per-user value
    EXPECT_TRUE(IsMsiInstall());
    RawSetDword(HKEY_CURRENT_USER, kProduct, L"msitype", 3, 0);
    EXPECT_FALSE(IsMsiInstall());

    RawSetDword(HKEY_LOCAL_MACHINE, kProduct, L"msitype", 1, k32);  // machine 1, user 3
    EXPECT_TRUE(IsMsiInstall());
    RawSetDword(HKEY_LOCAL_MACHINE, kProduct, L"msitype", 0, k32);
    EXPECT_FALSE(IsMsiInstall());
    RawSetDword(HKEY_CURRENT_USER, kProduct, L"msitype", 1, 0);  // machine 0, user 1
    EXPECT_TRUE(IsMsiInstall());
    RawDeleteTree(HKEY_CURRENT_USER, kProduct, 0);

    // The machine value counts only in the 32-bit view: one written in the 64-bit view counts only where
    // that is the same view.
    RawDeleteTree(HKEY_LOCAL_MACHINE, kProduct, k32);
    RawSetDword(HKEY_LOCAL_MACHINE, kProduct, L"msitype", 2, k64);
    EXPECT_EQ(IsMsiInstall() != FALSE, !TwoViews());
    RawSetDword(HKEY_LOCAL_MACHINE, kProduct, L"msitype", 2, k32);
    EXPECT_TRUE(IsMsiInstall());

    // A string "1" is not a REG_DWORD.
    RawSetString(HKEY_LOCAL_MACHINE, kProduct, L"msitype", REG_SZ, L"1", k32);
    EXPECT_FALSE(IsMsiInstall());
}

}  // namespace
