// The host's command line and its registration runs: every key and value the registration writes, what
// the unregistration leaves, and the full HRESULT as exit code.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>

#include "host_harness.h"
#include "module/command_line.h"

using namespace tavo::test;

namespace {

constexpr wchar_t kAppId[] = L"{3B8E2F14-7A60-4C2D-9E51-0D6A4B7C8E92}";
constexpr wchar_t kLibId[] = L"{9F41C6D2-0E7B-4A35-B8C4-62D1E0F7A3B5}";
constexpr GUID kLibGuid = {0x9f41c6d2, 0x0e7b, 0x4a35, {0xb8, 0xc4, 0x62, 0xd1, 0xe0, 0xf7, 0xa3, 0xb5}};

struct HostClass {
    const wchar_t* name;
    const wchar_t* display;
    const wchar_t* clsid;
};
constexpr HostClass kClasses[] = {
    {L"Setting", L"Setting Class", L"{2C7A9E05-61B3-4D8F-A024-E5B7C3D19F60}"},
    {L"Meeting", L"Meeting Class", L"{7E3D1B92-4C05-4A6E-8F17-B9D2C0A54E38}"},
    {L"Update", L"Update Class", L"{4A6C0F83-D215-4E79-B3A8-1F5E7D9C2B04}"},
    {L"Telemetry", L"Telemetry Class", L"{B05E2D71-8F3A-4C96-A1D7-3E6F8B2C4A19}"},
};

// A string value under HKEY_CLASSES_ROOT; "<missing>" when it cannot be read.
std::wstring Value(const std::wstring& subkey, const wchar_t* name = nullptr) {
    wchar_t data[1024] = {};
    DWORD size = sizeof(data);
    if (RegGetValueW(HKEY_CLASSES_ROOT, subkey.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) !=
        ERROR_SUCCESS)
        return L"<missing>";
    return data;
}

bool TypeLibRegistered(std::wstring* path = nullptr) {
    ITypeLib* typeLib = nullptr;
    if (FAILED(LoadRegTypeLib(kLibGuid, 1, 0, 1033, &typeLib))) return false;
    typeLib->Release();
    if (path) {
        BSTR registered = nullptr;
        if (SUCCEEDED(QueryPathOfRegTypeLib(kLibGuid, 1, 0, 1033, &registered))) {
            *path = registered;
            SysFreeString(registered);
        }
    }
    return true;
}

void ExpectNothingRegistered() {
    for (const HostClass& c : kClasses) {
        std::wstring progId = std::wstring(L"TavoPluginHost.") + c.name;
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, progId)) << c.name;
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, progId + L".1")) << c.name;
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + c.clsid)) << c.name;
    }
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"AppID\\") + kAppId));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"AppID\\tavopluginhost.EXE"));
    EXPECT_FALSE(TypeLibRegistered());
}

}  // namespace

TEST(HostCommandLine, SwitchesMatchAfterEitherDelimiterUpToTheEndOfTheLine) {
    EXPECT_EQ(HostCommand::kRegister, ScanHostCommandLine(L"\"C:\\x\\tavopluginhost.exe\" /RegServer"));
    EXPECT_EQ(HostCommand::kRegister, ScanHostCommandLine(L"host.exe -regserver"));
    EXPECT_EQ(HostCommand::kRegister, ScanHostCommandLine(L"host.exe /REGSERVER"));
    EXPECT_EQ(HostCommand::kUnregister, ScanHostCommandLine(L"host.exe -UnregServer"));
    EXPECT_EQ(HostCommand::kUnregister, ScanHostCommandLine(L"host.exe /unregserver"));
    // Glued to the program name, or after other switches: the delimiter counts wherever it stands.
    EXPECT_EQ(HostCommand::kRegister, ScanHostCommandLine(L"host.exe/RegServer"));
    EXPECT_EQ(HostCommand::kRegister, ScanHostCommandLine(L"host.exe -Embedding /RegServer"));
    // More text after the switch: no match, the server runs.
    EXPECT_EQ(HostCommand::kRunServer, ScanHostCommandLine(L"host.exe /RegServer now"));
    EXPECT_EQ(HostCommand::kRunServer, ScanHostCommandLine(L"host.exe /RegServer "));
    EXPECT_EQ(HostCommand::kRunServer, ScanHostCommandLine(L"host.exe RegServer"));
    EXPECT_EQ(HostCommand::kRunServer, ScanHostCommandLine(L"host.exe \\RegServer"));
    EXPECT_EQ(HostCommand::kRunServer, ScanHostCommandLine(L"host.exe -Embedding"));
    EXPECT_EQ(HostCommand::kRunServer, ScanHostCommandLine(L""));
    EXPECT_EQ(HostCommand::kRunServer, ScanHostCommandLine(nullptr));
    // Both switches: only the one that reaches the end of the line can match.
    EXPECT_EQ(HostCommand::kUnregister, ScanHostCommandLine(L"host.exe /RegServer /UnregServer"));
    EXPECT_EQ(HostCommand::kRegister, ScanHostCommandLine(L"host.exe -UnregServer -RegServer"));
}

TEST(HostRegistration, RegistersEveryKeyAndUnregistersAllButTheSharedParents) {
    HostInstall install;
    ASSERT_EQ(0u, RunHostToEnd(install.exe(), L"/RegServer"));

    EXPECT_EQ(L"tavopluginhost", Value(std::wstring(L"AppID\\") + kAppId));
    EXPECT_EQ(kAppId, Value(L"AppID\\tavopluginhost.EXE", L"AppID"));
    const std::wstring quoted = L"\"" + install.exe() + L"\"";
    for (const HostClass& c : kClasses) {
        SCOPED_TRACE(testing::Message() << "class " << std::string(c.name, c.name + wcslen(c.name)));
        const std::wstring progId = std::wstring(L"TavoPluginHost.") + c.name;
        const std::wstring clsidKey = std::wstring(L"CLSID\\") + c.clsid;
        EXPECT_EQ(c.display, Value(progId + L".1"));
        EXPECT_EQ(c.clsid, Value(progId + L".1\\CLSID"));
        EXPECT_EQ(c.display, Value(progId));
        EXPECT_EQ(c.clsid, Value(progId + L"\\CLSID"));
        EXPECT_EQ(progId + L".1", Value(progId + L"\\CurVer"));
        EXPECT_EQ(c.display, Value(clsidKey));
        EXPECT_EQ(progId + L".1", Value(clsidKey + L"\\ProgID"));
        EXPECT_EQ(progId, Value(clsidKey + L"\\VersionIndependentProgID"));
        EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, clsidKey + L"\\Programmable"));
        EXPECT_EQ(quoted, Value(clsidKey + L"\\LocalServer32"));
        EXPECT_EQ(kAppId, Value(clsidKey, L"AppID"));
        EXPECT_EQ(kLibId, Value(clsidKey + L"\\TypeLib"));
    }
    std::wstring typeLibPath;
    EXPECT_TRUE(TypeLibRegistered(&typeLibPath));
    EXPECT_EQ(0, lstrcmpiW(install.exe().c_str(), typeLibPath.c_str()));

    // A second registration refreshes the class keys: a value left in them does not survive.
    HKEY clsidKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID\\{7E3D1B92-4C05-4A6E-8F17-B9D2C0A54E38}", 0,
                            KEY_SET_VALUE, &clsidKey));
    RegSetValueExW(clsidKey, L"Stale", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"x"), 4);
    RegCloseKey(clsidKey);
    ASSERT_EQ(0u, RunHostToEnd(install.exe(), L"-regserver"));
    EXPECT_EQ(L"<missing>", Value(L"CLSID\\{7E3D1B92-4C05-4A6E-8F17-B9D2C0A54E38}", L"Stale"));

    ASSERT_EQ(0u, RunHostToEnd(install.exe(), L"/RegServer /UNREGSERVER"));
    ExpectNothingRegistered();
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"AppID"));
}

TEST(HostRegistration, SwitchWithTrailingTextRunsTheServerInstead) {
    // No manager library beside this copy: the server run cannot start and ends with -1, registering
    // nothing.
    HostInstall install;
    EXPECT_EQ(0xFFFFFFFFu, RunHostToEnd(install.exe(), L"/RegServer now"));
    ExpectNothingRegistered();
}

TEST(HostRegistration, ExitCodeIsTheFullHresultOfAFailedUnregistration) {
    // Nothing is registered: the type library cannot be unregistered, and that failure is the exit code.
    HostInstall install;
    DWORD code = RunHostToEnd(install.exe(), L"/UnregServer");
    EXPECT_TRUE(FAILED(static_cast<HRESULT>(code))) << std::hex << code;
    EXPECT_NE(0xDEADBEEFu, code);
    ExpectNothingRegistered();
}
