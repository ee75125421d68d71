#include <gtest/gtest.h>
#include "qor.h"
TEST(Files, Placeholder) { EXPECT_EQ(qor::write(1, nullptr, 3), -1); }
