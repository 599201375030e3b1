#include "shared/coding/JsonCoding.h"
#include "shared/model/ActivationResponse.h"
#include "shared/model/SingboxClientConfig.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

const JsonDecoder& serviceDecoder() {
    static const JsonDecoder decoder(JsonDecoder::KeyDecodingStrategy::convertFromSnakeCase);
    return decoder;
}

SingboxClientConfig decodeConfig(const QByteArray& json) {
    return serviceDecoder().decode<SingboxClientConfig>(json);
}

QByteArray withOutbounds(const char* outbounds) {
    return "{\"outbounds\":[" + QByteArray(outbounds) + "]}";
}

TEST(SingboxClientConfig, EdgesAreTheVlessOutboundsThatNameAServer) {
    struct Case {
        const char* outbounds;
        QList<EdgeInfo> edges;
    };
    const Case cases[] = {
        {R"({"type":"vless","tag":"nl-ams-1","server":"a.example"})",
         {{u"nl-ams-1"_s, u"1"_s, u"a.example"_s}}},
        {R"({"type":"vless","tag":"edge-de","server":"d.example","server_port":443})",
         {{u"edge-de"_s, u"DE"_s, u"d.example"_s}}},
        {R"({"type":"vless","tag":"ru","server":""})", {{u"ru"_s, u"RU"_s, u""_s}}},
        {R"({"type":"vless","tag":"--","server":"x"})", {{u"--"_s, u"\u2014"_s, u"x"_s}}},
        {R"({"type":"vless","tag":"","server":"x"})", {{u""_s, u"\u2014"_s, u"x"_s}}},
        {R"({"type":"vless","tag":"edge-straße","server":"x"})",
         {{u"edge-straße"_s, u"STRASSE"_s, u"x"_s}}},
        {R"({"type":"vless","tag":"a"},{"type":"vless","tag":"b","server":null})", {}},
        {R"({"type":"VLESS","tag":"a","server":"x"},{"type":"selector","tag":"b","server":"x"})",
         {}},
        {R"({"type":"vless","tag":"same","server":"1"},{"type":"direct","tag":"d"},{"type":"vless","tag":"same","server":"2"})",
         {{u"same"_s, u"SAME"_s, u"1"_s}, {u"same"_s, u"SAME"_s, u"2"_s}}},
        {R"({"type":"vless","tag":"a","server":"first","server":"last"})",
         {{u"a"_s, u"A"_s, u"last"_s}}},
        {R"({"type":"vless","tag":"p","server":"x","server_port":443.0},{"type":"vless","tag":"q","server":"y","server_port":4.43e2},{"type":"vless","tag":"r","server":"z","server_port":null})",
         {{u"p"_s, u"P"_s, u"x"_s}, {u"q"_s, u"Q"_s, u"y"_s}, {u"r"_s, u"R"_s, u"z"_s}}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(decodeConfig(withOutbounds(c.outbounds)).edges(), c.edges) << c.outbounds;
}

TEST(SingboxClientConfig, RulesetNamesFollowTheRouteInOrder) {
    const std::pair<const char*, QStringList> cases[] = {
        {R"({"outbounds":[]})", {}},
        {R"({"outbounds":[],"route":{"rules":[]}})", {}},
        {R"({"outbounds":[],"route":{"rule_set":[]}})", {}},
        {R"({"outbounds":[],"route":{"rule_set":[{"tag":"b","url":"x"},{"tag":"a"},{"tag":"b"}]}})",
         {u"b"_s, u"a"_s, u"b"_s}},
        {"\xEF\xBB\xBF{\"outbounds\":[],\"route\":{\"rule_set\":[{\"tag\":\"a\"}]}}", {u"a"_s}},
    };
    for (const auto& [json, names] : cases)
        EXPECT_EQ(decodeConfig(json).rulesetNames(), names) << json;
}

TEST(SingboxClientConfig, MalformedConfigurationsFailAndSayWhere) {
    struct Case {
        QByteArray json;
        const char* description;
    };
    const Case cases[] = {
        {"{}", "missing key \"outbounds\""},
        {"", "the data is not valid JSON: there is no value"},
        {R"("outbounds")",
         "the data is not valid JSON: the top level is text, not an object or a list"},
        {withOutbounds(R"({"type":"vless","tag":"\x41"})"),
         "the data is not valid JSON: malformed escape in text"},
        {withOutbounds(R"({"type":"vless","tag":"a","server_port":443.})"),
         "the data is not valid JSON: malformed number, or one out of range"},
        {"[]", "expected an object, found a list"},
        {R"({"outbounds":{}})", "expected a list, found an object at outbounds"},
        {withOutbounds(R"({"type":"direct","tag":"d"},{"tag":"x"})"),
         "missing key \"type\" at outbounds[1]"},
        {withOutbounds(R"({"type":"vless","tag":null})"),
         "expected text, found null at outbounds[0].tag"},
        {withOutbounds(R"({"type":"vless","tag":"a","server_port":"443"})"),
         "expected an integer, found text at outbounds[0].serverPort"},
        {withOutbounds(R"({"type":"vless","tag":"a","server_port":44.5})"),
         "number 44.5 is not a 64-bit integer at outbounds[0].serverPort"},
        {withOutbounds(R"({"type":"vless","tag":"a","server_port":9223372036854775808})"),
         "number 9.22337e+18 is not a 64-bit integer at outbounds[0].serverPort"},
        // Past the exact key and "server_port", the least key in UTF-16 order.
        {withOutbounds(
             R"({"type":"vless","tag":"a","server__port":1,"SERVER_PORT":"x","Server_Port":2})"),
         "expected an integer, found text at outbounds[0].serverPort"},
        {withOutbounds(R"(null)"), "expected an object, found null at outbounds[0]"},
        {R"({"outbounds":[],"route":{"rule_set":[{"tag":"a"},{}]}})",
         "missing key \"tag\" at route.ruleSet[1]"},
    };
    for (const Case& c : cases) {
        try {
            decodeConfig(c.json);
            ADD_FAILURE() << "decoded: " << c.json.toStdString();
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.description(), QString::fromUtf8(c.description))
                << c.json.toStdString();
        }
    }
}

TEST(ActivationResponse, ReadsTheServiceAnswerInEitherKeyStyle) {
    const JsonDecoder& decoder = serviceDecoder();
    for (const char* json :
         {R"({"subscription_url":"/api/sub/t","expires_at":"2026-06-27T19:19:05.123456"})",
          R"({"subscriptionUrl":"/api/sub/t","expiresAt":"2026-06-27T19:19:05.123Z"})"}) {
        const ActivationResponse answer = decoder.decode<ActivationResponse>(json);
        EXPECT_EQ(answer.subscriptionUrl(), u"/api/sub/t"_s);
        EXPECT_EQ(answer.expiresAt(), QDateTime::fromMSecsSinceEpoch(1'782'587'945'123, Qt::UTC));
    }
    // Without the conversion the wire keys do not match.
    EXPECT_THROW(JsonDecoder().decode<ActivationResponse>(
                     R"({"subscription_url":"/s","expires_at":"2026-06-27T19:19:05Z"})"),
                 DecodingError);
}

} // namespace
