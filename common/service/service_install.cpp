// Install, stop and uninstall of the update service, its Users-group access and its description.
#include <string>

#include "service/service_control.h"
#include "support/scoped.h"

namespace tavo::service {
const wchar_t* const kServiceDescription =
    L"Keeps your Orvane Velnor software up to date. If this service is disabled or stopped, your Orvane "
    L"Velnor software won't be kept up to date, which means that any security vulnerabilities that may arise "
    L"can't be fixed and features may not work. This service uninstalls itself when there is no Orvane "
    L"Velnor "
    L"software using it.";
}  // namespace tavo::service

using tavo::ScopedLocalMemory;
using tavo::ScopedServiceHandle;
namespace svc = tavo::service;

namespace {

// Reports "<operation>::<call>(<error>)" as a warning.
void ReportFailure(const wchar_t* operation, const wchar_t* call, DWORD error) {
    wchar_t format[96] = L"%s::";
    wcsncat(format, call, 80);
    wcscat(format, L"(%d)");
    ReportServiceEvent(EVENTLOG_WARNING_TYPE, format, operation, static_cast<int>(error));
}

// The path in double quotes when it holds a blank and is not quoted already.
std::wstring QuoteIfBlanks(const wchar_t* path) {
    std::wstring text(path);
    const bool quoted = text.size() >= 2 && text.front() == L'"' && text.back() == L'"';
    if (!quoted && text.find(L' ') != std::wstring::npos) text = L"\"" + text + L"\"";
    return text;
}

bool OpenManagerAndService(const wchar_t* operation, ScopedServiceHandle& manager,
                           ScopedServiceHandle& service) {
    manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        ReportFailure(operation, L"OpenSCManager", GetLastError());
        return false;
    }
    service.reset(OpenServiceW(manager.get(), svc::kServiceName, SERVICE_ALL_ACCESS));
    if (!service) {
        ReportFailure(operation, L"OpenServiceW", GetLastError());
        return false;
    }
    return true;
}

}  // namespace

DWORD BuildAndApplyUsersServiceDACL(SC_HANDLE service, PACL* newDacl) {
    constexpr const wchar_t* kName = L"SetUserAccessServiceDACL";
    if (newDacl) *newDacl = nullptr;
    if (!service || !newDacl) return ERROR_INVALID_PARAMETER;

    DWORD needed = 0;
    if (!QueryServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, nullptr, 0, &needed)) {
        const DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) {
            ReportFailure(kName, L"QueryServiceObjectSecurity", error);
            return error;
        }
    }
    if (needed == 0) needed = sizeof(SECURITY_DESCRIPTOR);
    ScopedLocalMemory descriptor(LocalAlloc(LPTR, needed));
    if (!descriptor) {
        ReportFailure(kName, L"LocalAlloc", GetLastError());
        return ERROR_INSUFFICIENT_BUFFER;  // 122, as the callers expect for a failed allocation
    }
    if (!QueryServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, descriptor.get(), needed, &needed)) {
        const DWORD error = GetLastError();
        ReportFailure(kName, L"QueryServiceObjectSecurity", error);
        return error;
    }

    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL oldDacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor.get(), &present, &oldDacl, &defaulted)) {
        const DWORD error = GetLastError();
        ReportFailure(kName, L"GetSecurityDescriptorDacl", error);
        return error;
    }
    if (!present) oldDacl = nullptr;

    BYTE sidBuffer[SECURITY_MAX_SID_SIZE] = {};
    DWORD sidSize = sizeof(sidBuffer);
    if (!CreateWellKnownSid(WinBuiltinUsersSid, nullptr, sidBuffer, &sidSize)) {
        const DWORD error = GetLastError();
        ReportFailure(kName, L"CreateWellKnownSid", error);
        return error;
    }

    // The account name only serves the report; the entry names the group by its SID, which holds on
    // every system language.
    wchar_t name[257] = {};
    wchar_t domain[16] = {};
    DWORD nameChars = 257;
    DWORD domainChars = 16;
    SID_NAME_USE use = SidTypeUnknown;
    if (!LookupAccountSidW(nullptr, sidBuffer, name, &nameChars, domain, &domainChars, &use)) {
        ReportFailure(kName, L"LookupAccountSidW", GetLastError());
        wcscpy(name, L"Users");
    }

    EXPLICIT_ACCESSW access = {};
    access.grfAccessPermissions = svc::kUsersServiceAccess;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = reinterpret_cast<LPWSTR>(sidBuffer);
    const DWORD mergeError = SetEntriesInAclW(1, &access, oldDacl, newDacl);
    if (mergeError != ERROR_SUCCESS) {
        ReportFailure(kName, L"SetEntriesInAclW", mergeError);
        return mergeError;
    }

    SECURITY_DESCRIPTOR absolute = {};
    if (!InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION)) {
        const DWORD error = GetLastError();
        ReportFailure(kName, L"InitializeSecurityDescriptor", error);
        return error;
    }
    if (!SetSecurityDescriptorDacl(&absolute, TRUE, *newDacl, FALSE)) {
        const DWORD error = GetLastError();
        ReportFailure(kName, L"SetSecurityDescriptorDacl", error);
        return error;
    }
    if (!SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, &absolute)) {
        const DWORD error = GetLastError();
        ReportFailure(kName, L"SetServiceObjectSecurity", error);
        return error;
    }
    return ERROR_SUCCESS;
}

BOOL SetUserAccessServiceDACL(SC_HANDLE service) {
    PACL newDacl = nullptr;
    const DWORD error = BuildAndApplyUsersServiceDACL(service, &newDacl);
    ScopedLocalMemory owner(newDacl);
    SetLastError(error);
    return error == ERROR_SUCCESS ? TRUE : FALSE;
}

BOOL UpdateServiceDescription(SC_HANDLE service) {
    SERVICE_DESCRIPTIONW description = {};
    description.lpDescription = const_cast<wchar_t*>(svc::kServiceDescription);
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description)) {
        ReportFailure(L"UpdateServiceDescription", L"ChangeServiceConfig2W", GetLastError());
        return FALSE;
    }
    return TRUE;
}

BOOL SvcInstall(const wchar_t* binaryPath) {
    constexpr const wchar_t* kName = L"SvcInstall";
    ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        ReportFailure(kName, L"OpenSCManager", GetLastError());
        return FALSE;
    }

    wchar_t path[MAX_PATH + 1] = {};
    if (binaryPath) {
        // A longer path would be cut and name another program: refuse it.
        if (wcsnlen(binaryPath, MAX_PATH + 1) > MAX_PATH) {
            ReportFailure(kName, L"PathLength", ERROR_FILENAME_EXCED_RANGE);
            return FALSE;
        }
        wcscpy(path, binaryPath);
    } else {
        const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH + 1);
        // A path that fills the buffer was cut.
        if (length == 0 || length >= MAX_PATH + 1) {
            const DWORD error = length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
            ReportFailure(kName, L"GetModuleFileNameW", error);
            return FALSE;
        }
    }

    ScopedServiceHandle service(OpenServiceW(manager.get(), svc::kServiceName, SERVICE_ALL_ACCESS));
    if (service) {
        if (!SetUserAccessServiceDACL(service.get())) {
            ReportFailure(kName, L"SetUserAccessServiceDACL", GetLastError());
        }
        return TRUE;
    }
    const DWORD openError = GetLastError();
    if (openError != ERROR_SERVICE_DOES_NOT_EXIST) {
        ReportFailure(kName, L"OpenServiceW", openError);
        return FALSE;
    }

    const std::wstring commandPath = QuoteIfBlanks(path);
    service.reset(CreateServiceW(manager.get(), svc::kServiceName, svc::kDisplayName, SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                 commandPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        ReportFailure(kName, L"CreateServiceW", GetLastError());
        return FALSE;
    }
    if (!SetUserAccessServiceDACL(service.get())) {
        ReportFailure(kName, L"SetUserAccessServiceDACL", GetLastError());
    }
    UpdateServiceDescription(service.get());
    return TRUE;
}

BOOL SvcStop() {
    constexpr const wchar_t* kName = L"SvcStop";
    {
        ScopedServiceHandle manager;
        ScopedServiceHandle service;
        if (!OpenManagerAndService(kName, manager, service)) return FALSE;
        SetLastError(ERROR_SUCCESS);
        SERVICE_STATUS status = {};
        if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
            const DWORD error = GetLastError();
            if (error != ERROR_SERVICE_NOT_ACTIVE) ReportFailure(kName, L"ControlService", error);
        }
    }
    const DWORD waited = WaitForServiceStopped(svc::kServiceName, 30);
    WaitForProcessExit(svc::kServiceImageName, 30);
    return waited == svc::kWaitStopped ? TRUE : FALSE;
}

BOOL SvcUninstall() {
    constexpr const wchar_t* kName = L"SvcUninstall";
    ScopedServiceHandle manager;
    ScopedServiceHandle service;
    if (!OpenManagerAndService(kName, manager, service)) return FALSE;

    // Waits for the stop in steps of the service's wait hint, kept between 100 ms and 10 s so that a hint
    // of 0 still waits and a huge one cannot hang the caller; gives up after about 60 s. Within a step the
    // state is looked at every 50 ms, so that a service that stops early is deleted at once.
    SERVICE_STATUS status = {};
    BOOL ok = ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    DWORD total = 0;
    while (ok) {
        DWORD pause = status.dwWaitHint;
        if (pause < 100) pause = 100;
        if (pause > 10000) pause = 10000;
        if (status.dwCurrentState == SERVICE_STOPPED) break;
        for (DWORD slept = 0; ok && slept < pause && status.dwCurrentState != SERVICE_STOPPED;) {
            const DWORD slice = pause - slept < 50 ? pause - slept : 50;
            Sleep(slice);
            slept += slice;
            ok = QueryServiceStatus(service.get(), &status);
        }
        total += pause + 10;
        if (total > 60000) break;
    }

    if (DeleteService(service.get())) return TRUE;
    return GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE ? TRUE : FALSE;
}
