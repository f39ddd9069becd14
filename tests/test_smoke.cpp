#include <gtest/gtest.h>
#include "lyrx.h"
#include "dump.hpp"
TEST(Smoke, Parse) {
    const char t[] = "[00:01]a\n[00:00.5]b";
    EXPECT_EQ(lyrx_parse(t, sizeof t - 1), 0);
    std::printf("%s", lyrx_test::dump_result(0).c_str());
}
