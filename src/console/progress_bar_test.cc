#include "console/progress_bar.h"

#include <gtest/gtest.h>

#include "console/console_test_support.h"

namespace {

TEST(ProgressBar, DrawsGrowingBarCappedAtItsWidth) {
    ProgressBar bar;
    progress_init(bar, 70, 10);
    EXPECT_EQ(capture_stdout([&] { progress_start(bar); }), "[" + std::string(70, ' ') + "]");
    EXPECT_EQ(capture_stdout([&] { progress_update(bar, 1); }), "\r[" + std::string(7, '#'));
    EXPECT_EQ(capture_stdout([&] { progress_update(bar, 1); }), "");
    EXPECT_EQ(capture_stdout([&] { progress_update(bar, 20); }), "\r[" + std::string(70, '#'));
    EXPECT_EQ(capture_stdout([&] { progress_update(bar, 5); }), "");
    EXPECT_EQ(capture_stdout([&] { progress_finish(bar); }), "\n");
}

TEST(ProgressBar, UnstartedBarPrintsNothing) {
    ProgressBar bar;
    progress_init(bar, 70, 100);
    bar.total = 3;
    EXPECT_EQ(capture_stdout([&] {
                  progress_update(bar, 2);
                  progress_finish(bar);
              }),
              "");
    EXPECT_EQ(bar.drawn, 0u);
}

TEST(ProgressBar, ProductWrapsInThirtyTwoBits) {
    ProgressBar bar;
    progress_init(bar, 70, 100);
    capture_stdout([&] { progress_start(bar); });
    // 61356676 * 70 = 2^32 + 24: the bar shows 0 cells, so nothing.
    EXPECT_EQ(capture_stdout([&] { progress_update(bar, 61356676u); }), "");
    EXPECT_EQ(capture_stdout([&] { progress_update(bar, 50); }), "\r[" + std::string(35, '#'));
}

TEST(ProgressBar, ZeroTotalCountsAsFullInsteadOfDividingByZero) {
    ProgressBar bar;
    progress_init(bar, 4, 0);
    capture_stdout([&] { progress_start(bar); });
    EXPECT_EQ(capture_stdout([&] { progress_update(bar, 0); }), "\r[####");
}

}  // namespace
