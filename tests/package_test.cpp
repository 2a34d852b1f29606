// The chief header's version is the version the project is built as.
#include <gtest/gtest.h>

#include <string>

#include "onestack.h"

TEST(Package, VersionMacrosMatchTheProjectVersion) {
    EXPECT_STREQ(ONESTACK_VERSION_STRING, ONESTACK_BUILT_VERSION);
    const std::string parts = std::to_string(ONESTACK_VERSION_MAJOR) + "." +
                              std::to_string(ONESTACK_VERSION_MINOR) + "." +
                              std::to_string(ONESTACK_VERSION_PATCH);
    EXPECT_EQ(parts, ONESTACK_BUILT_VERSION);
    EXPECT_EQ(ONESTACK_VERSION,
              ONESTACK_VERSION_MAJOR * 10000 + ONESTACK_VERSION_MINOR * 100 + ONESTACK_VERSION_PATCH);
}
