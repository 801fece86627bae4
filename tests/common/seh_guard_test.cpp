#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>

#include "seh/seh_guard.h"

namespace {

DWORD ChainHead() { return __readfsdword(0); }

tavo::SehVerdict HandleAccessViolation(const EXCEPTION_RECORD& record) {
    return record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION ? tavo::SehVerdict::kHandle
                                                              : tavo::SehVerdict::kPassOn;
}

// Read at run time, so the compiler cannot see the fault coming and replace it by a trap.
volatile UINT_PTR g_unmappedAddress = 8;

void HardwareFault() { *reinterpret_cast<volatile int*>(g_unmappedAddress) = 7; }

// The same exception raised in software: under user-mode emulation of the processor, Wine cannot tell a
// page fault from other traps and reports hardware faults with a random code.
void Fault() { RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr); }

bool ProcessorEmulated() { return GetEnvironmentVariableW(L"TAVO_EMULATED_I386", nullptr, 0) != 0; }

TEST(SehGuard, HandlesAnAccessViolationAndRestoresTheChain) {
    const DWORD before = ChainHead();
    DWORD code = 0;
    bool completed = tavo::SehTry([] { Fault(); }, HandleAccessViolation, &code);
    EXPECT_FALSE(completed);
    EXPECT_EQ(code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_EQ(ChainHead(), before);
    // The guard still works after a handled fault.
    EXPECT_FALSE(tavo::SehTry([] { Fault(); }, HandleAccessViolation));
    EXPECT_TRUE(tavo::SehTry([] {}, HandleAccessViolation));
    EXPECT_EQ(ChainHead(), before);
}

TEST(SehGuard, HandlesARealPageFault) {
    if (ProcessorEmulated()) {
        // Hardware faults are not reported faithfully under emulation. (No GTEST_SKIP: its report goes
        // through OutputDebugStringA, which the emulated Wine does not survive inside this test program.)
        printf("skipped: processor emulated\n");
        return;
    }
    const DWORD before = ChainHead();
    DWORD code = 0;
    EXPECT_FALSE(tavo::SehTry([] { HardwareFault(); }, HandleAccessViolation, &code));
    EXPECT_EQ(code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_EQ(ChainHead(), before);
}

TEST(SehGuard, InnerGuardPassesOnToOuterGuard) {
    const DWORD before = ChainHead();
    bool innerCompleted = true;
    int innerFilterCalls = 0;
    DWORD outerCode = 0;
    bool outerCompleted = tavo::SehTry(
        [&] {
            innerCompleted = tavo::SehTry([] { RaiseException(0xE0000042, 0, 0, nullptr); },
                                          [&](const EXCEPTION_RECORD&) {
                                              ++innerFilterCalls;
                                              return tavo::SehVerdict::kPassOn;
                                          });
        },
        [](const EXCEPTION_RECORD& record) {
            return record.ExceptionCode == 0xE0000042 ? tavo::SehVerdict::kHandle : tavo::SehVerdict::kPassOn;
        },
        &outerCode);
    EXPECT_FALSE(outerCompleted);
    EXPECT_EQ(outerCode, 0xE0000042u);
    EXPECT_EQ(innerFilterCalls, 1);
    EXPECT_EQ(ChainHead(), before);
}

TEST(SehGuard, CxxExceptionLeavesTheGuardAndTheChainIsRestored) {
    const DWORD before = ChainHead();
    EXPECT_THROW(tavo::SehTry([] { throw std::runtime_error("out"); }, HandleAccessViolation),
                 std::runtime_error);
    EXPECT_EQ(ChainHead(), before);
    // A fault after that is still handled by a fresh guard.
    EXPECT_FALSE(tavo::SehTry([] { Fault(); }, HandleAccessViolation));
}

TEST(SehGuard, FaultsHandledInsideTheBodyDoNotReachTheGuard) {
    int outerFilterCalls = 0;
    bool innerHandled = false;
    bool completed =
        tavo::SehTry([&] { innerHandled = !tavo::SehTry([] { Fault(); }, HandleAccessViolation); },
                     [&](const EXCEPTION_RECORD&) {
                         ++outerFilterCalls;
                         return tavo::SehVerdict::kHandle;
                     });
    EXPECT_TRUE(completed);
    EXPECT_TRUE(innerHandled);
    EXPECT_EQ(outerFilterCalls, 0);
}

}  // namespace
