// The entry point of every test program. GoogleTest's own result printer also sends each failure to
// OutputDebugStringA; where the 32-bit processor is emulated, that ends or hangs the test program, so the
// failure would show as a crash or a time-out instead of a report. This printer writes to standard output
// only, in GoogleTest's own line format (the runner reads the closing "[  PASSED  ]" line).
#include <gtest/gtest.h>

#include <cstdio>

namespace {

class StdoutPrinter : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo& test) override {
        printf("[ RUN      ] %s.%s\n", test.test_suite_name(), test.name());
        fflush(stdout);
    }
    void OnTestPartResult(const ::testing::TestPartResult& result) override {
        if (!result.failed()) return;
        printf("%s:%d: Failure\n%s\n", result.file_name() ? result.file_name() : "unknown file",
               result.line_number(), result.message());
        fflush(stdout);
    }
    void OnTestEnd(const ::testing::TestInfo& test) override {
        printf("[ %s ] %s.%s (%lld ms)\n", test.result()->Passed() ? "      OK" : " FAILED ",
               test.test_suite_name(), test.name(), static_cast<long long>(test.result()->elapsed_time()));
        fflush(stdout);
    }
    void OnTestProgramEnd(const ::testing::UnitTest& unit) override {
        printf("[==========] %d tests ran.\n", unit.test_to_run_count());
        if (unit.Passed()) {
            printf("[  PASSED  ] %d tests.\n", unit.successful_test_count());
        } else {
            printf("[  FAILED  ] %d tests.\n", unit.failed_test_count());
        }
        fflush(stdout);
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::TestEventListeners& listeners = ::testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
    listeners.Append(new StdoutPrinter);
    return RUN_ALL_TESTS();
}
