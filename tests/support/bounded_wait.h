#pragma once
// A wait on another thread in a test: spins (yielding, never sleeping) until
// ready() holds, for at most limit of real time; a stall fails the test with
// what was awaited instead of hanging the suite.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

template <class Ready>
::testing::AssertionResult waitFor(const char* what, Ready ready,
                                   std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= until)
            return ::testing::AssertionFailure() << "gave up after " << limit.count() << " ms waiting for " << what;
        std::this_thread::yield();
    }
    return ::testing::AssertionSuccess();
}
