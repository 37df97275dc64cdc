#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>

namespace {

// A fault that nothing handles ends the test program at once, naming the test
// it happened in, instead of waiting for a debugger until the suite's time
// limit: the result then says what broke.
LONG WINAPI ReportFaultAndExit(EXCEPTION_POINTERS* pointers) {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    const EXCEPTION_RECORD* record = pointers ? pointers->ExceptionRecord : nullptr;
    std::fprintf(stderr, "\nFAULT: exception 0x%08lX at %p in test %s.%s\n",
                 record ? static_cast<unsigned long>(record->ExceptionCode) : 0ul,
                 record ? record->ExceptionAddress : nullptr,
                 test ? test->test_suite_name() : "(none)", test ? test->name() : "(none)");
    std::fflush(stderr);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

int main(int argc, char** argv) {
    SetUnhandledExceptionFilter(ReportFaultAndExit);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
