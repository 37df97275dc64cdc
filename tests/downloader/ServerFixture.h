#pragma once

#include "downloader/HttpTask.h"
#include "tests/common/PkgServer.h"
#include "tests/common/TestUtil.h"
#include "tests/downloader/Recorders.h"

#include <gtest/gtest.h>

#include <string>

namespace testutil {

// Tests against the package server: a clean rule set and request log each.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Available()) << "the package server was not started (BC_PKG_PORT)";
        ASSERT_TRUE(server.Reset());
    }

    // Writes a served file with pattern bytes and returns them.
    std::string Publish(const std::wstring& name, size_t size, unsigned seed = 1) {
        std::string bytes = PatternBytes(size, seed);
        EXPECT_TRUE(WriteFileBytes(server.FilePath(name), bytes));
        return bytes;
    }

    std::wstring UrlOf(const std::wstring& name) const { return server.Url(L"/" + name); }

    PkgServer server;
};

// Shortens the receive time-out of the requests a test makes.
class ShortReceiveTimeout {
public:
    explicit ShortReceiveTimeout(unsigned long milliseconds)
        : previous_(downloader::SetReceiveTimeoutForTesting(milliseconds)) {}
    ~ShortReceiveTimeout() { downloader::SetReceiveTimeoutForTesting(previous_); }
    ShortReceiveTimeout(const ShortReceiveTimeout&) = delete;
    ShortReceiveTimeout& operator=(const ShortReceiveTimeout&) = delete;

private:
    unsigned long previous_;
};

// HRESULT_FROM_WIN32(ERROR_INTERNET_TIMEOUT).
constexpr long kReceiveTimedOut = static_cast<long>(0x80072EE2UL);

} // namespace testutil
