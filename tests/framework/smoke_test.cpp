#include <gtest/gtest.h>
#include <windows.h>
#include <mutex>
TEST(Smoke, Runs) { std::mutex m; std::lock_guard l(m); EXPECT_NE(GetCurrentThreadId(), 0u); }
