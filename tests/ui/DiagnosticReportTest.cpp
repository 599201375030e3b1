#include "app/ui/DiagnosticReport.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using Kind = ConnectionState::Kind;

namespace {

const QDateTime fetched = QDateTime::fromString(u"2026-03-01T09:30:00.250Z"_s, Qt::ISODateWithMs);
const QDateTime expires = QDateTime::fromString(u"2026-07-01T12:00:00Z"_s, Qt::ISODate);

DiagnosticReport::Facts facts() {
    DiagnosticReport::Facts f;
    f.appVersion = u"1.4.0 (57)"_s;
    f.operatingSystem = u"Linux Debian GNU/Linux 12 (bookworm), kernel 6.1.0-18-amd64"_s;
    f.state = ConnectionState(Kind::connected);
    f.logHint = u"(sing-box logs are in the journal — journalctl SUBSYSTEM=dev.morvel.vpn)"_s;
    return f;
}
// The report around what depends on the state and the subscription.
QString report(const QString& middle) {
    return u"=== Halvoran diagnostic ===\n"
           "version: 1.4.0 (57)\n"
           "os: Linux Debian GNU/Linux 12 (bookworm), kernel 6.1.0-18-amd64\n"_s +
           middle +
           u"\n(sing-box logs are in the journal — journalctl SUBSYSTEM=dev.morvel.vpn)\n"_s;
}

} // namespace

TEST(DiagnosticReportTest, FullReportWithMetadataAndError) {
    auto f = facts();
    f.state = ConnectionState::error(u"the \"edge\" said C:\\no"_s);
    f.preferredEdgeTag = u"nl-ams-1"_s;
    f.routingMode = SharedDefaults::RoutingMode::global;
    f.metadata = SubscriptionMetadata({{u"nl-ams-1"_s, u"Amsterdam"_s, u"a.example"_s},
                                       {u"de-fra-1"_s, u"Frankfurt"_s, u"f.example"_s}},
                                      {u"youtube"_s, u"ipcheck"_s, u"code"_s}, expires, fetched);
    EXPECT_EQ(DiagnosticReport::build(f),
              report(u"state: error(\"the \\\"edge\\\" said C:\\\\no\")\n"
                     "preferred_edge: nl-ams-1\n"
                     "routing_mode: global\n"
                     "subscription_expires: 2026-07-01T12:00:00Z\n"
                     "metadata_fetched_at: 2026-03-01T09:30:00Z\n"
                     "active_rulesets: youtube, code\n"
                     "edges: 2\n"
                     "  - nl-ams-1 → a.example (Amsterdam)\n"
                     "  - de-fra-1 → f.example (Frankfurt)\n"
                     "\n"
                     "last_error: the \"edge\" said C:\\no\n"_s));
}

TEST(DiagnosticReportTest, WithoutMetadataOrWithoutExpiry) {
    EXPECT_EQ(DiagnosticReport::build(facts()),
              report(u"state: connected\n"
                     "preferred_edge: auto\n"
                     "routing_mode: selective\n"
                     "metadata: (none — /sub never fetched)\n"_s));
    auto f = facts();
    f.state = ConnectionState(Kind::needsExtensionApproval);
    f.metadata = SubscriptionMetadata({}, {u"ipcheck"_s}, std::nullopt, fetched);
    EXPECT_EQ(DiagnosticReport::build(f), report(u"state: needsExtensionApproval\n"
                                                 "preferred_edge: auto\n"
                                                 "routing_mode: selective\n"
                                                 "metadata_fetched_at: 2026-03-01T09:30:00Z\n"
                                                 "active_rulesets: none\n"
                                                 "edges: 0\n"_s));
}

// Tags, regions, hosts and error texts come from the network: a line feed, a
// carriage return or a Unicode line separator in them must not start a line
// of its own that a reader would take for the report's.
TEST(DiagnosticReportTest, NetworkValuesCannotAddLines) {
    auto f = facts();
    const QString forged = u"x\nstate: connected\r\u2028\u0085"_s;
    f.state = ConnectionState::error(forged);
    f.preferredEdgeTag = forged;
    f.metadata = SubscriptionMetadata({{forged, forged, forged}}, {forged}, std::nullopt, fetched);
    const QString report = DiagnosticReport::build(f);
    const QStringList lines = report.split(u'\n');
    EXPECT_EQ(lines.size(), 15) << report.toStdString();
    for (const QString& line : lines) {
        for (const QChar c : line)
            EXPECT_FALSE(c.category() == QChar::Other_Control ||
                         c.category() == QChar::Separator_Line)
                << line.toStdString();
    }
    EXPECT_EQ(lines.at(3), u"state: error(\"x\\nstate: connected\\r\\u{2028}\\u{85}\")"_s);
    EXPECT_EQ(lines.at(11), u"last_error: x\\nstate: connected\\r\\u{2028}\\u{85}"_s);
}
