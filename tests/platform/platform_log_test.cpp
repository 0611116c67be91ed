#include "zel_platform_hooks.h"

#include <gtest/gtest.h>

#include <string>

#include "support/log_capture.h"
#include "utils/src/common/zel_log.h"

namespace {

TEST(PlatformLog, OverlongMessageIsCutNotOverflowed) {
    zel_test::LogCapture capture;
    std::string big(10000, 'a');
    ZEL_LOGE(ZEL_CORE_UTILS, "%s", big.c_str());
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_LT(lines[0].text.size(), 4096u);
    EXPECT_GT(lines[0].text.size(), 4000u);
}

}  // namespace
