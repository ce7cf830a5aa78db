// Integer values that do not fit 32 bits keep the default instead of wrapping.
#include "la/Configuration.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(Configuration, IntegersBeyondThirtyTwoBitsKeepTheDefault) {
  const struct {
    const char* text;
    i32 value;  // ConfigGetInt with the default 5
  } cases[] = {{"4294967296", 5}, {"-2147483649", 5},        {"99999999999999999999999", 5},
               {"12abc", 12},     {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN},
               {"abc", 0}};
  for (const auto& c : cases)
    EXPECT_EQ(ConfigGetInt({{"key", c.text}}, "key", 5), c.value) << c.text;
  EXPECT_EQ(ConfigGetInt({{"key", "1"}}, "ke", 5), 5);
}

}  // namespace
