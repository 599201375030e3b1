#include "shared/settings/SharedDefaults.h"

#include "shared/settings/AtomicFile.h"
#include "shared/settings/SettingsSuite.h"
#include "tests/support/QtPrinters.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
namespace SD = SharedDefaults;

namespace {

SettingsSuite& suite() {
    return SettingsSuite::shared();
}

class SharedDefaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dataHome = qgetenv("XDG_DATA_HOME");
        SD::clearAll();
        SD::setLastExtensionDiag(std::nullopt);
        SD::setLastBoundInterface(std::nullopt);
        suite().remove(u"device_id"_s);
    }
    void TearDown() override { qputenv("XDG_DATA_HOME", dataHome); }

    // Makes the shared container impossible to create, as for a process
    // without the app group.
    void withoutContainer() {
        QFile blocker(scratch.filePath(u"not-a-directory"_s));
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
        qputenv("XDG_DATA_HOME", QFile::encodeName(blocker.fileName()));
    }

    QByteArray dataHome;
    QTemporaryDir scratch;
};

SubscriptionMetadata sampleMetadata(std::optional<QDateTime> expiresAt) {
    return {{{u"nl-ams-1"_s, u"1"_s, u"ams.example.net"_s},
             {u"edge-de"_s, u"DE"_s, u"de.example.net"_s}},
            {u"youtube"_s, u"ipcheck"_s},
            std::move(expiresAt),
            QDateTime::fromMSecsSinceEpoch(1'782'587'945'250, Qt::UTC)};
}

// Every text property goes through the same accessors; the token stands for them.
TEST_F(SharedDefaultsTest, TextPropertiesStoreUnderTheirKeysAndAbsentRemoves) {
    EXPECT_EQ(SD::loadMetadata(), std::nullopt);
    EXPECT_EQ(SD::loadLastConfig(), std::nullopt);
    EXPECT_EQ(SD::subscriptionToken(), std::nullopt);
    SD::setSubscriptionToken(u"tok"_s);
    EXPECT_EQ(SD::subscriptionToken(), u"tok"_s);
    EXPECT_EQ(suite().text(u"subscription_token"_s), u"tok"_s);
    // Bytes under a text key read as absent rather than as garbage.
    suite().setBytes(u"subscription_token"_s, "bytes");
    EXPECT_EQ(SD::subscriptionToken(), std::nullopt);
    SD::setSubscriptionToken(std::nullopt);
    EXPECT_EQ(suite().text(u"subscription_token"_s), std::nullopt);
    EXPECT_EQ(suite().bytes(u"subscription_token"_s), std::nullopt);
}

TEST_F(SharedDefaultsTest, RoutingModeIsGlobalOnlyForExactlyGlobal) {
    SD::setRoutingMode(SD::RoutingMode::global);
    EXPECT_EQ(SD::routingMode(), SD::RoutingMode::global);
    EXPECT_EQ(suite().text(u"routing_mode"_s), u"global"_s);
    for (const QString& stored : {u"Global"_s, u"GLOBAL"_s, u""_s, u"selective"_s, u"global "_s}) {
        suite().setText(u"routing_mode"_s, stored);
        EXPECT_EQ(SD::routingMode(), SD::RoutingMode::selective) << stored.toStdString();
    }
    SD::setRoutingMode(SD::RoutingMode::selective);
    EXPECT_EQ(suite().text(u"routing_mode"_s), u"selective"_s);
}

TEST_F(SharedDefaultsTest, MetadataSurvivesSaveAndLoadToTheMillisecond) {
    for (const std::optional<QDateTime>& expiry :
         {std::optional<QDateTime>(),
          std::optional(QDateTime::fromMSecsSinceEpoch(1'790'000'000'999, Qt::UTC))}) {
        const SubscriptionMetadata saved = sampleMetadata(expiry);
        SD::saveMetadata(saved);
        EXPECT_EQ(SD::loadMetadata(), saved);
        const QByteArray blob = suite().bytes(u"subscription_metadata"_s).value();
        EXPECT_EQ(blob.contains("\"expiresAt\""), expiry.has_value()) << blob.toStdString();
        EXPECT_TRUE(blob.contains("\"fetchedAt\":\"2026-06-27T19:19:05.250Z\""))
            << blob.toStdString();
    }
}

TEST_F(SharedDefaultsTest, UnreadableMetadataLoadsAsAbsentAndStaysStored) {
    const QByteArray blobs[] = {
        "not json",
        R"({"edges":[],"rulesetNames":[]})",
        R"({"edges":[{"tag":"a","region":"A"}],"rulesetNames":[],"fetchedAt":"2026-06-27T19:19:05Z"})",
    };
    for (const QByteArray& blob : blobs) {
        suite().setBytes(u"subscription_metadata"_s, blob);
        EXPECT_EQ(SD::loadMetadata(), std::nullopt) << blob.toStdString();
        EXPECT_EQ(suite().bytes(u"subscription_metadata"_s), blob);
    }
    // The same JSON stored as text is not a metadata blob either.
    suite().setText(u"subscription_metadata"_s,
                    uR"({"edges":[],"rulesetNames":[],"fetchedAt":"2026-06-27T19:19:05Z"})"_s);
    EXPECT_EQ(SD::loadMetadata(), std::nullopt);
}

TEST_F(SharedDefaultsTest, MetadataThatCannotBeEncodedLeavesTheStoredOne) {
    const SubscriptionMetadata good = sampleMetadata(std::nullopt);
    SD::saveMetadata(good);
    SD::saveMetadata(sampleMetadata(QDateTime(QDate(10000, 1, 1), QTime(0, 0), Qt::UTC)));
    EXPECT_EQ(SD::loadMetadata(), good);
}

TEST_F(SharedDefaultsTest, LastConfigIsStoredWholeAndOwnerOnly) {
    const QByteArray config = R"({"outbounds":[]})";
    SD::saveLastConfig(config);
    EXPECT_EQ(SD::loadLastConfig(), config);
    const QString path = SD::lastConfigURL().value();
    EXPECT_EQ(path, qEnvironmentVariable("XDG_DATA_HOME") +
                        u"/Q7T2K9RW4M.group.dev.morvel.vpn/last-config.json");
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    ::stat(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), &info);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
}

TEST(AtomicFile, AFailedWriteLeavesThePreviousFileAndNoLeftovers) {
    QTemporaryDir dir;
    const QString path = dir.filePath(u"last-config.json"_s);
    ASSERT_TRUE(AtomicFile::write(path, "previous"));

    // A file-size limit makes the write run out of room halfway, as a full disk would.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &small);
    QString error;
    const bool written = AtomicFile::write(path, QByteArray(64 * 1024, 'x'), &error);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(written);
    EXPECT_TRUE(error.startsWith(path)) << error.toStdString();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "previous");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList{u"last-config.json"_s});

    EXPECT_FALSE(AtomicFile::write(dir.filePath(u"missing/file"_s), "x"));
}

TEST(AtomicFile, WritesKilledMidwayAreCleanedUpButLiveOnesAreNot) {
    QTemporaryDir dir;
    const auto leave = [&](const QString& name) {
        QFile file(dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("partial");
    };
    leave(u".last-config.json.AbC123"_s); // its writer was killed
    leave(u".other.json.AbC123"_s);       // another file's
    leave(u".last-config.json.Live12"_s); // its writer is still at work
    const int live =
        ::open(QFile::encodeName(dir.filePath(u".last-config.json.Live12"_s)).constData(),
               O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(live, LOCK_EX), 0);

    ASSERT_TRUE(AtomicFile::write(dir.filePath(u"last-config.json"_s), "new"));
    ::close(live);
    QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
    left.sort();
    EXPECT_EQ(left, (QStringList{u".last-config.json.Live12"_s, u".other.json.AbC123"_s,
                                 u"last-config.json"_s}));
}

TEST_F(SharedDefaultsTest, ClearAllForgetsTheSubscriptionButKeepsDiagnosticsAndDevice) {
    SD::saveMetadata(sampleMetadata(std::nullopt));
    SD::setSubscriptionToken(u"tok"_s);
    SD::setSubscriptionURL(u"https://example.net/api/sub/tok"_s);
    SD::setPreferredEdgeTag(u"edge-de"_s);
    SD::setRoutingMode(SD::RoutingMode::global);
    SD::setLastExtensionDiag(u"diag"_s);
    SD::setLastBoundInterface(u"wlan0"_s);
    suite().setText(u"device_id"_s, u"device"_s);
    SD::saveLastConfig("{}");

    SD::clearAll();

    for (const char* key : {"subscription_metadata", "subscription_token", "subscription_url",
                            "preferred_edge_tag", "routing_mode"}) {
        EXPECT_EQ(suite().text(QString::fromLatin1(key)), std::nullopt) << key;
        EXPECT_EQ(suite().bytes(QString::fromLatin1(key)), std::nullopt) << key;
    }
    EXPECT_EQ(SD::loadLastConfig(), std::nullopt);
    EXPECT_FALSE(QFile::exists(SD::lastConfigURL().value()));
    EXPECT_EQ(SD::lastExtensionDiag(), u"diag"_s);
    EXPECT_EQ(SD::lastBoundInterface(), u"wlan0"_s);
    EXPECT_EQ(suite().text(u"device_id"_s), u"device"_s);
}

TEST_F(SharedDefaultsTest, WithoutAContainerOnlyTheFileOperationsStandDown) {
    SD::saveLastConfig("kept");
    const QString existing = SD::lastConfigURL().value();
    withoutContainer();
    EXPECT_EQ(SD::lastConfigURL(), std::nullopt);
    SD::saveLastConfig("new");
    EXPECT_EQ(SD::loadLastConfig(), std::nullopt);
    SD::setSubscriptionToken(u"tok"_s);
    SD::clearAll();
    EXPECT_EQ(SD::subscriptionToken(), std::nullopt);
    QFile file(existing);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "kept");
}

} // namespace
