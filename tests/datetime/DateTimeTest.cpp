#include <gtest/gtest.h>
#include "qel/datetime/DateTime.h"
TEST(DateTimeSmoke, Builds) { EXPECT_FALSE(qel::CDateTime().isValid()); }
