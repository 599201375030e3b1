#include "shared/coding/JsonCoding.h"

#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

TEST(JsonCoding, SnakeCaseKeysConvertAsTheServiceSendsThem) {
    const std::pair<const char*, const char*> cases[] = {
        {"subscription_url", "subscriptionUrl"},
        {"server_port", "serverPort"},
        {"subscriptionUrl", "subscriptionUrl"},
        {"SUBSCRIPTION_URL", "subscriptionUrl"},
        {"a__b", "aB"},
        {"_private_key_", "_privateKey_"},
        {"__x__", "__x__"},
        {"tag_", "tag_"},
        {"Tag", "Tag"},
        {"___", "___"},
        {"", ""},
        {"rule_set_2", "ruleSet2"},
    };
    for (const auto& [snake, camel] : cases)
        EXPECT_EQ(convertFromSnakeCase(QString::fromLatin1(snake)), QString::fromLatin1(camel))
            << snake;
}

} // namespace
