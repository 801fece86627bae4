// The owners keep the error of the call that failed while they close what they held.
#include <gtest/gtest.h>

#include <windows.h>

#include "support/scoped.h"

namespace {

// A handle whose closing writes the last error itself: the second CloseHandle fails with
// ERROR_INVALID_HANDLE.
struct NoisyCloseTraits : tavo::HandleTraits {
    static void Close(HANDLE h) {
        CloseHandle(h);
        CloseHandle(h);
    }
};

TEST(Owners, ClosingTheOldValueKeepsTheCallersLastError) {
    tavo::UniqueResource<HANDLE, NoisyCloseTraits> event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event);
    // A call that fails with a known error, then the owner closes its event.
    EXPECT_EQ(GetFileAttributesW(L"C:\\tavo-owner-test-missing\\none.txt"), INVALID_FILE_ATTRIBUTES);
    const DWORD failure = GetLastError();
    ASSERT_NE(failure, ERROR_SUCCESS);
    event.reset();
    EXPECT_EQ(GetLastError(), failure);
    EXPECT_FALSE(event);

    tavo::ScopedRegKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, key.put()), ERROR_SUCCESS);
    SetLastError(ERROR_ACCESS_DENIED);
    *key.put() = nullptr;  // put() closes the key it held first
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(Owners, ReleaseHandsTheValueOverAndEmptiesTheOwner) {
    tavo::ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const HANDLE raw = event.release();
    EXPECT_FALSE(event);
    // Still open: the owner did not close what it handed over.
    EXPECT_TRUE(SetEvent(raw));
    EXPECT_TRUE(CloseHandle(raw));

    tavo::ScopedFindHandle none;  // INVALID_HANDLE_VALUE is empty too
    EXPECT_FALSE(none);
    EXPECT_EQ(none.get(), INVALID_HANDLE_VALUE);
}

}  // namespace
