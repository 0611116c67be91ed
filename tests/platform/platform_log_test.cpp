#include "zel_platform_hooks.h"

#include <gtest/gtest.h>

#include <string>

#include "support/log_capture.h"
#include "utils/src/common/zel_log.h"

namespace {

int g_evaluations = 0;
const char* Counted() {
    ++g_evaluations;
    return "x";
}

TEST(PlatformLog, FilteredMessageEvaluatesNothing) {
    zel_platform_set_log_sink(nullptr, nullptr);
    zel_platform_set_log_threshold(ZEL_LOG_PRIO_ERROR);
    g_evaluations = 0;
    ZEL_LOGD(ZEL_CORE_UTILS, "%s", Counted());
    ZEL_LOGW(ZEL_CORE_UTILS, "%s", Counted());
    EXPECT_EQ(g_evaluations, 0);
    zel_platform_set_log_threshold(ZEL_LOG_PRIO_NONE);
    ZEL_LOGE(ZEL_CORE_UTILS, "%s", Counted());
    EXPECT_EQ(g_evaluations, 0);
}

TEST(PlatformLog, OverlongMessageIsCutNotOverflowed) {
    zel_test::LogCapture capture;
    std::string big(10000, 'a');
    ZEL_LOGE(ZEL_CORE_UTILS, "%s", big.c_str());
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_LT(lines[0].text.size(), 4096u);
    EXPECT_GT(lines[0].text.size(), 4000u);
}

TEST(PlatformLog, NullFormatAndTagAreRefused) {
    // Through a pointer: the format checker rightly rejects these calls.
    int (*log)(int, int, const char*, const char*, ...) = &__dlog_print;
    zel_test::LogCapture capture;
    EXPECT_EQ(log(ZEL_LOG_BUFFER, ZEL_LOG_PRIO_ERROR, "T", nullptr), -1);
    EXPECT_GE(log(ZEL_LOG_BUFFER, ZEL_LOG_PRIO_ERROR, nullptr, "ok"), 0);
    EXPECT_TRUE(capture.Contains("ok"));
}

}  // namespace
