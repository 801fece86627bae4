// File versions and the updater check against stand-ins of the updater that carry real Authenticode
// signatures (tests/fixtures/signed.cmake). The test authority is trusted only while a test needs it: it is
// added to the machine's root store and removed again.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "probe_runner.h"
#include "test_support.h"
#include "verify/verify.h"

using tavo::test::BinPath;
using tavo::test::TempFolder;
using namespace tavo::verify;

namespace {

// The test authority in the local machine's root store for the object's lifetime.
class TrustedTestAuthority {
  public:
    TrustedTestAuthority() {
        const std::string der = tavo::test::ReadFileBytes(BinPath(L"fixtures\\signed\\ca.cer"));
        m_store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
        if (m_store && !der.empty()) {
            CertAddEncodedCertificateToStore(
                m_store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, &m_certificate);
        }
    }
    ~TrustedTestAuthority() {
        if (m_certificate) CertDeleteCertificateFromStore(m_certificate);  // also frees the context
        if (m_store) CertCloseStore(m_store, 0);
    }
    TrustedTestAuthority(const TrustedTestAuthority&) = delete;
    TrustedTestAuthority& operator=(const TrustedTestAuthority&) = delete;
    bool added() const { return m_certificate != nullptr; }

  private:
    HCERTSTORE m_store = nullptr;
    PCCERT_CONTEXT m_certificate = nullptr;
};

// A folder made for the test and removed with its content afterwards.
class MadeFolder {
  public:
    explicit MadeFolder(std::wstring path) : m_path(std::move(path)) {
        CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~MadeFolder() { tavo::test::RemoveTree(m_path); }
    MadeFolder(const MadeFolder&) = delete;
    MadeFolder& operator=(const MadeFolder&) = delete;
    // Copies the signed fixture `name` into the folder; its new path.
    std::wstring Place(const std::wstring& name) const {
        const std::wstring target = m_path + L"\\" + name;
        CopyFileW(BinPath(L"fixtures\\signed\\" + name).c_str(), target.c_str(), FALSE);
        return target;
    }
    const std::wstring& path() const { return m_path; }

  private:
    std::wstring m_path;
};

std::wstring WithoutBackslash(std::wstring folder) {
    if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    return folder;
}

std::wstring Upper(std::wstring text) {
    for (auto& c : text)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    return text;
}

}  // namespace

// The updater check below shows the other cases (letter case, look-alike folder, "..").
TEST(VerifyTest, ProgramFilesX86FolderAndPathsInsideIt) {
    const std::wstring folder = GetProgramFilesX86Folder();
    EXPECT_EQ(folder,
              tavo::test::SixtyFourBitWindows() ? L"C:\\Program Files (x86)\\" : L"C:\\Program Files\\");
    EXPECT_TRUE(IsInProgramFilesX86((folder + L"Velnor\\tavoupdate.exe").c_str()));
    EXPECT_FALSE(IsInProgramFilesX86((folder + L"Velnor/../../Temp/tavoupdate.exe").c_str()));
    EXPECT_FALSE(IsInProgramFilesX86((L"D:\\Other\\" + folder.substr(3) + L"tavoupdate.exe").c_str()));
    EXPECT_FALSE(IsInProgramFilesX86(L"tavoupdate.exe"));
}

TEST(VerifyTest, CompareVersionIsNumericAndMissingPartsAreZero) {
    EXPECT_EQ(CompareVersion(L"10.0.0.0", L"9.9.9.9"), 1);
    EXPECT_EQ(CompareVersion(L"9.9.9.9", L"10.0.0.0"), -1);
    EXPECT_EQ(CompareVersion(L"1.2", L"1.2.0.0"), 0);
    EXPECT_EQ(CompareVersion(L"5.1.0.7", L"5.1"), 1);
    EXPECT_EQ(CompareVersion(L"2.x.9", L"2.0.0.1"), -1);  // parsing stops at "x"
    EXPECT_EQ(CompareVersion(nullptr, L"0.0.0.1"), -1);
    EXPECT_EQ(CompareVersion(L"-1", L"1"), 1);  // parts compare as unsigned 32-bit numbers
}

TEST(VerifyTest, VersionAndOriginalFilenameOfAFixture) {
    const std::wstring good = BinPath(L"fixtures\\signed\\good.exe");
    int parts[4] = {-1, -1, -1, -1};
    ASSERT_TRUE(GetFileVersionNumbers(good.c_str(), &parts[0], &parts[1], &parts[2], &parts[3]));
    EXPECT_EQ(std::vector<int>(parts, parts + 4), (std::vector<int>{7, 2, 65535, 1}));
    std::wstring text = L"untouched";
    EXPECT_TRUE(GetFileVersionString(good.c_str(), text));
    EXPECT_EQ(text, L"7.2.65535.1");
    EXPECT_EQ(GetFileVersionString(good.c_str()), L"7.2.65535.1");

    const std::wstring missing = BinPath(L"fixtures\\signed\\missing.exe");
    text = L"untouched";
    EXPECT_FALSE(GetFileVersionString(missing.c_str(), text));
    EXPECT_EQ(text, L"untouched");
    EXPECT_EQ(GetFileVersionString(missing.c_str()), L"");

    EXPECT_EQ(GetOriginalFilename(good.c_str()), L"tavoupdate.exe");
    EXPECT_EQ(GetOriginalFilename(BinPath(L"fixtures\\signed\\otherlang.exe").c_str()), L"");
    EXPECT_TRUE(HasOriginalFilename(good.c_str(), L"TavoUpdate.EXE"));
    EXPECT_FALSE(HasOriginalFilename(good.c_str(), nullptr));
}

TEST(VerifyTest, EveryResultOfTheUpdaterCheck) {
    TrustedTestAuthority authority;
    ASSERT_TRUE(authority.added());
    const std::wstring programFiles = GetProgramFilesX86Folder();
    MadeFolder inside(programFiles + L"Tavo Verify Test");
    MadeFolder lookAlike(WithoutBackslash(programFiles) + L"Evil");
    TempFolder outside(L"tavo-verify");

    const struct {
        const wchar_t* fixture;
        int code;
    } cases[] = {
        {L"good.exe", kUpdaterOk},
        {L"marker10.exe", kUpdaterOk},
        {L"othername.exe", kUpdaterWrongOriginalFilename},
        {L"otherlang.exe", kUpdaterWrongOriginalFilename},
        {L"unsigned.exe", kUpdaterNotSignedByMaker},
        {L"othermaker.exe", kUpdaterNotSignedByMaker},
        {L"tampered.exe", kUpdaterNotSignedByMaker},
        {L"twocerts.exe", kUpdaterNotSignedByMaker},
        {L"marker2.exe", kUpdaterNoReleaseMarker},
        {L"markerword.exe", kUpdaterNoReleaseMarker},
        {L"nomarker.exe", kUpdaterNoReleaseMarker},
    };
    for (const auto& c : cases) {
        const std::wstring path = inside.Place(c.fixture);
        EXPECT_EQ(CheckUpdaterFile(path.c_str()), c.code) << tavo::test::Narrow(c.fixture);
    }
    const std::wstring good = inside.path() + L"\\good.exe";
    EXPECT_EQ(CheckUpdaterFile(Upper(good).c_str()), kUpdaterOk);
    EXPECT_EQ(CheckUpdaterFile(lookAlike.Place(L"good.exe").c_str()), kUpdaterNotInProgramFiles);
    const std::wstring elsewhere = CopyFileW(good.c_str(), (outside / L"good.exe").c_str(), FALSE)
                                       ? outside / L"good.exe"
                                       : std::wstring();
    EXPECT_EQ(CheckUpdaterFile(elsewhere.c_str()), kUpdaterNotInProgramFiles);
    // The same file reached through "..": C:\Program Files (x86)\..\<rest of the outside path>.
    EXPECT_EQ(CheckUpdaterFile((programFiles + L"..\\" + elsewhere.substr(3)).c_str()),
              kUpdaterNotInProgramFiles);
    EXPECT_EQ(CheckUpdaterFile(nullptr), kUpdaterNotInProgramFiles);

    EXPECT_EQ(GetFileSigner(good.c_str()), L"Orvane Velnor LLC");
    EXPECT_EQ(GetFileSigner((inside.path() + L"\\othermaker.exe").c_str()), L"Ledra Tools Inc");
}

// What Wine does with the trust check: its Authenticode policy does not refuse a chain whose root is not
// trusted, so WinVerifyTrust accepts the maker's signature before the test authority is in the root store
// (Windows answers CERT_E_UNTRUSTEDROOT there). It checks the image hash for real (the probe's tampered
// file) and, of two certificate entries, the first; the signer check refuses two entries.
TEST(VerifyTest, TrustCheckAndSignerUnderWine) {
    const std::wstring good = BinPath(L"fixtures\\signed\\good.exe");
    const std::wstring twoEntries = BinPath(L"fixtures\\signed\\twocerts.exe");
    const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    EXPECT_EQ(VerifyTrust(good), wine ? TRUE : FALSE);
    TrustedTestAuthority authority;
    ASSERT_TRUE(authority.added());
    EXPECT_TRUE(VerifyTrust(good));
    std::wstring subject;
    EXPECT_TRUE(GetSignSubject(good.c_str(), subject));
    EXPECT_EQ(subject, L"Orvane Velnor LLC");
    if (wine) {
        EXPECT_TRUE(VerifyTrust(twoEntries));  // not measured on Windows: only the signer check counts
    }
    EXPECT_FALSE(GetSignSubject(twoEntries.c_str(), subject));
    EXPECT_FALSE(IsSignedByMaker(twoEntries.c_str()));
}

TEST(VerifyTest, DebugMessagesOfAFailedSignerCheck) {
    const ProbeResult probe = RunProbe("signer");
    ASSERT_TRUE(probe.started);
    EXPECT_EQ(Lines(probe.output), "empty=[]\nunsigned=[]\ntampered=[]\nmissing=[]\nheld=[]\n");
    // WinVerifyTrust answers TRUST_E_NOSIGNATURE (0x800B0100) for the probe itself, which carries no
    // signature, and TRUST_E_BAD_DIGEST (0x80096010) for the file changed after signing. A file that does
    // not open is judged by its path, so its trust check still says why it failed: Wine's WinVerifyTrust
    // answers the plain system errors 2 (not there) and 32 (held by another writer).
    EXPECT_EQ(probe.debug, (std::vector<std::string>{
                               "strFilePath.GetLength() <= 0", "VerifyTrust failed!\n",
                               "Verify the digital signature fail", "-2146762496", "VerifyTrust failed!\n",
                               "Verify the digital signature fail", "-2146869232", "VerifyTrust failed!\n",
                               "Verify the digital signature fail", "2", "VerifyTrust failed!\n",
                               "Verify the digital signature fail", "32", "VerifyTrust failed!\n"}));
}
