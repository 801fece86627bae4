// One uninstall at a time on the machine: a named object in the global namespace, made by the first stage
// (or a second stage started by hand) and held until it ends; the copy of a first stage inherits it.
#include <windows.h>

#include <sddl.h>

#include "console/console.h"
#include "stages/stages.h"
#include "support/proc_address.h"
#include "support/scoped.h"

namespace {

// Only SYSTEM and the Administrators group may open it: no user can hold it to keep the uninstall off.
constexpr wchar_t kLockSddl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

}  // namespace

tavo::ScopedHandle TakeUninstallLock(DWORD& error) {
    error = ERROR_SUCCESS;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockSddl, SDDL_REVISION_1, &descriptor, nullptr);
    const tavo::ScopedLocalMemory descriptorOwner(descriptor);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    tavo::ScopedHandle lock(CreateMutexW(descriptor ? &attributes : nullptr, FALSE, kUninstallLockName));
    error = GetLastError();
    if (!lock) return lock;
    if (error == ERROR_ALREADY_EXISTS) lock.reset();
    return lock;
}

bool IsUninstallLock(HANDLE handle) {
    if (!handle) return false;
    DWORD flags = 0;
    if (!GetHandleInformation(handle, &flags)) return false;
    tavo::ScopedHandle named(OpenMutexW(SYNCHRONIZE, FALSE, kUninstallLockName));
    if (!named) return false;
    using Compare = BOOL(WINAPI*)(HANDLE, HANDLE);
    const auto compare =
        tavo::ProcAddress<Compare>(GetModuleHandleW(L"kernelbase.dll"), "CompareObjectHandles");
    if (compare) return compare(handle, named.get()) != FALSE;
    // Before Windows 10 the two handles cannot be compared: a valid handle of the copy's own table given by
    // the program that started it, while the lock exists, is taken for it.
    return true;
}

void ReportAnotherUninstall() {
    ConsoleLine(
        L"Another uninstall of Orvane Velnor Tavo Suite is running: nothing was changed. Try again "
        L"when it has finished.");
}
