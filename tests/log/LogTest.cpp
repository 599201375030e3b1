#include "shared/log/Log.h"

#include "platform/linux/JournalLogSink.h"
#include "tests/support/LogCapture.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

Q_LOGGING_CATEGORY(foreign, "qt.network.ssl")

TEST(Log, NetworkTextCannotSplitOrForgeALine) {
    const std::pair<QString, QByteArray> cases[] = {
        {u"youtube"_s, "youtube"},
        {u"a\nprobe x → healthy"_s, "a\\x0aprobe x \xe2\x86\x92 healthy"},
        {u"cr\rtab\tdel\x7f"_s, "cr\\x0dtab\\x09del\\x7f"},
        {u"c1\u0085 ls\u2028"_s, "c1\\x85 ls\\u2028"},
        {u"emoji \U0001F600"_s, "emoji \xf0\x9f\x98\x80"},
    };
    for (const auto& [text, logged] : cases)
        EXPECT_EQ(Log::printable(text), logged) << text.toStdString();
}

// Our own lines are checked through the capture by every other test; a
// library's category reaches the sink too, under no subsystem of ours.
TEST(Log, ForeignLinesReachTheSinkWithoutOurSubsystem) {
    LogCapture capture;
    qCWarning(foreign, "foreign");
    const QList<LogRecord> records = capture.records();
    ASSERT_EQ(records.size(), 1);
    EXPECT_EQ(records[0].subsystem, QString());
    EXPECT_EQ(records[0].category, u"qt.network.ssl"_s);
    EXPECT_EQ(records[0].level, QtWarningMsg);
}

TEST(JournalLogSink, FilesLinesByComponentAndSeverity) {
    const LogRecord failure{u"dev.morvel.vpn"_s, u"health"_s, QtCriticalMsg, u"down: x"_s};
    EXPECT_EQ(JournalLogSink::journalFields(failure),
              (QByteArrayList{"MESSAGE=down: x", "PRIORITY=3", "CATEGORY=health",
                              "SUBSYSTEM=dev.morvel.vpn"}));
    EXPECT_EQ(JournalLogSink::stderrLine(failure), "[dev.morvel.vpn.health] error: down: x\n");
    const LogRecord foreign{QString(), u"qt.core"_s, QtInfoMsg, u"hi"_s};
    EXPECT_EQ(JournalLogSink::journalFields(foreign),
              (QByteArrayList{"MESSAGE=hi", "PRIORITY=6", "CATEGORY=qt.core"}));
    EXPECT_EQ(JournalLogSink::stderrLine(foreign), "[qt.core] info: hi\n");
}

} // namespace
