// The Authenticode checks: WinVerifyTrust for the signature's validity and the signer certificate's name
// from the file's one embedded PKCS #7 signature.
#include <windows.h>

#include <wincrypt.h>
#include <wintrust.h>
#include <imagehlp.h>

#include <cstddef>
#include <cwchar>

#include "process/process.h"
#include "support/proc_address.h"
#include "support/scoped.h"
#include "verify/verify.h"
#include "verify/verify_detail.h"

namespace {

using WinVerifyTrustFn = LONG(WINAPI*)(HWND, GUID*, LPVOID);
using CertGetNameStringWFn = DWORD(WINAPI*)(PCCERT_CONTEXT, DWORD, DWORD, void*, LPWSTR, DWORD);
using CryptVerifyMessageSignatureFn = BOOL(WINAPI*)(PCRYPT_VERIFY_MESSAGE_PARA, DWORD, const BYTE*, DWORD,
                                                    BYTE*, DWORD*, PCCERT_CONTEXT*);
using CertFreeCertificateContextFn = BOOL(WINAPI*)(PCCERT_CONTEXT);
using ImageEnumerateCertificatesFn = BOOL(WINAPI*)(HANDLE, WORD, PDWORD, PDWORD, DWORD);
using ImageGetCertificateHeaderFn = BOOL(WINAPI*)(HANDLE, DWORD, LPWIN_CERTIFICATE);
using ImageGetCertificateDataFn = BOOL(WINAPI*)(HANDLE, DWORD, LPWIN_CERTIFICATE, PDWORD);

// WINTRUST_ACTION_GENERIC_VERIFY_V2: the Authenticode policy.
const GUID kGenericVerifyV2 = {0x00AAC56B, 0xCD44, 0x11D0, {0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};

// The trust data with its last member (signature settings), which the toolchain's header leaves out.
struct TrustData {
    WINTRUST_DATA data;
    void* signatureSettings;
};
static_assert(sizeof(void*) != 4 || sizeof(TrustData) == 52);

// An embedded signature larger than this is not read.
constexpr DWORD kMaxCertificateBytes = 16 * 1024 * 1024;

HANDLE OpenForSignature(const wchar_t* path) {
    // Others may read the file meanwhile, but neither write, rename nor delete it.
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NORMAL, nullptr);
}

// WinVerifyTrust on `path`; when `file` is given, the system reads the file through that handle.
bool VerifyTrustOf(const std::wstring& path, HANDLE file) {
    if (path.empty()) {
        OutputDebugStringW(L"strFilePath.GetLength() <= 0");
        return false;
    }
    tavo::ScopedLibrary wintrust(LoadSystemLibraryEx(L"wintrust.dll"));
    auto winVerifyTrust = tavo::ProcAddress<WinVerifyTrustFn>(wintrust.get(), "WinVerifyTrust");
    if (!winVerifyTrust) {
        OutputDebugStringW(L"pfnWinVerifyTrust == NULL");
        return false;
    }
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path.c_str();
    fileInfo.hFile = file;
    TrustData trust = {};
    trust.data.cbStruct = sizeof(trust);
    trust.data.dwUIChoice = WTD_UI_NONE;
    trust.data.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.data.dwUnionChoice = WTD_CHOICE_FILE;
    trust.data.pFile = &fileInfo;
    GUID action = kGenericVerifyV2;
    const LONG result = winVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &trust);
    if (result == 0) return true;
    OutputDebugStringW(L"Verify the digital signature fail");
    wchar_t number[16] = {};
    swprintf(number, 16, L"%ld", result);
    OutputDebugStringW(number);
    return false;
}

// The simple display name of the signer of the one embedded signature of `file`.
bool SignerNameOf(HANDLE file, std::wstring& subject) {
    tavo::ScopedLibrary crypt32(LoadSystemLibraryEx(L"crypt32.dll"));
    auto getName = tavo::ProcAddress<CertGetNameStringWFn>(crypt32.get(), "CertGetNameStringW");
    if (!getName) {
        OutputDebugStringW(L"pfnCertGetNameString == NULL");
        return false;
    }
    auto verifyMessage =
        tavo::ProcAddress<CryptVerifyMessageSignatureFn>(crypt32.get(), "CryptVerifyMessageSignature");
    auto freeCertificate =
        tavo::ProcAddress<CertFreeCertificateContextFn>(crypt32.get(), "CertFreeCertificateContext");
    tavo::ScopedLibrary imagehlp(LoadSystemLibraryEx(L"imagehlp.dll"));
    auto enumerate =
        tavo::ProcAddress<ImageEnumerateCertificatesFn>(imagehlp.get(), "ImageEnumerateCertificates");
    auto getHeader =
        tavo::ProcAddress<ImageGetCertificateHeaderFn>(imagehlp.get(), "ImageGetCertificateHeader");
    auto getData = tavo::ProcAddress<ImageGetCertificateDataFn>(imagehlp.get(), "ImageGetCertificateData");
    if (!verifyMessage || !freeCertificate || !enumerate || !getHeader || !getData) return false;
    if (!file || file == INVALID_HANDLE_VALUE) return false;

    // Exactly one embedded certificate entry: a second one could carry another signer.
    DWORD count = 0;
    if (!enumerate(file, CERT_SECTION_TYPE_ANY, &count, nullptr, 0) || count != 1) return false;
    WIN_CERTIFICATE header = {};
    if (!getHeader(file, 0, &header)) return false;
    constexpr DWORD kHeaderBytes = offsetof(WIN_CERTIFICATE, bCertificate);
    if (header.dwLength <= kHeaderBytes || header.dwLength > kMaxCertificateBytes) return false;
    std::vector<BYTE> buffer(static_cast<size_t>(header.dwLength) + 12, 0);
    auto* certificate = reinterpret_cast<WIN_CERTIFICATE*>(buffer.data());
    certificate->dwLength = header.dwLength;
    certificate->wRevision = WIN_CERT_REVISION_1_0;
    DWORD required = header.dwLength;
    if (!getData(file, 0, certificate, &required)) return false;
    // The signed data itself: the entry less its header.
    const DWORD signedBytes = header.dwLength - kHeaderBytes;

    CRYPT_VERIFY_MESSAGE_PARA parameters = {};
    parameters.cbSize = sizeof(parameters);
    parameters.dwMsgAndCertEncodingType = PKCS_7_ASN_ENCODING | X509_ASN_ENCODING;
    PCCERT_CONTEXT signer = nullptr;
    if (!verifyMessage(&parameters, 0, certificate->bCertificate, signedBytes, nullptr, nullptr, &signer) ||
        !signer) {
        if (signer) freeCertificate(signer);
        return false;
    }
    bool named = false;
    const DWORD length = getName(signer, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (length > 1) {
        std::vector<wchar_t> name(length, L'\0');
        const DWORD written = getName(signer, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name.data(), length);
        if (written > 1) {
            subject.assign(name.data(), wcsnlen(name.data(), length));
            named = true;
        }
    }
    freeCertificate(signer);
    return named;
}

}  // namespace

BOOL VerifyTrust(const std::wstring& strFilePath) {
    return VerifyTrustOf(strFilePath, nullptr) ? TRUE : FALSE;
}

BOOL GetSignSubject(const wchar_t* filePath, std::wstring& subject) {
    tavo::ScopedHandle file;
    if (filePath && *filePath) file.reset(OpenForSignature(filePath));
    return SignerNameOf(file.get(), subject) ? TRUE : FALSE;
}

std::wstring GetFileSigner(const wchar_t* filePath) {
    const std::wstring path = filePath ? filePath : L"";
    // One opening for both checks, so that the trust check and the signer's name judge the same bytes. A
    // file that does not open is judged by its path: the trust check then fails and says why in its debug
    // lines, and without the opening no signer is read either.
    tavo::ScopedHandle file;
    if (!path.empty()) file.reset(OpenForSignature(path.c_str()));
    const bool trusted = VerifyTrustOf(path, file ? file.get() : nullptr);
    if (!trusted) {
        OutputDebugStringW(L"VerifyTrust failed!\n");
        return std::wstring();
    }
    std::wstring subject;
    if (!SignerNameOf(file.get(), subject)) {
        OutputDebugStringW(L"GetSignSubject failed!\n");
        return std::wstring();
    }
    return subject;
}

BOOL IsSignedByMaker(const wchar_t* filePath) {
    if (!filePath) return FALSE;
    const std::wstring signer = GetFileSigner(filePath);
    if (signer.empty()) return FALSE;
    return tavo::verify::detail::SameIgnoringAsciiCase(signer, tavo::verify::kMakerName) ? TRUE : FALSE;
}
