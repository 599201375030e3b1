#include "shared/settings/SettingsSuite.h"

#include "tests/support/QtPrinters.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

mode_t modeOf(const QString& path) {
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

std::unique_ptr<SettingsSuite> openIn(const QTemporaryDir& dir) {
    QString error;
    std::unique_ptr<SettingsSuite> suite = SettingsSuite::open(dir.path(), &error);
    EXPECT_TRUE(suite) << error.toStdString();
    return suite;
}

TEST(SettingsSuite, DatabaseIsOwnerOnlyEvenIfItWasNot) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QLatin1StringView(SettingsSuite::fileName));
    QFile loose(path);
    ASSERT_TRUE(loose.open(QIODevice::WriteOnly));
    loose.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    loose.close();
    auto suite = openIn(dir);
    ASSERT_TRUE(suite->setText(u"k"_s, u"v"_s));
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(modeOf(path + u"-wal"), 0600u);

    const QString shared = SettingsSuite::shared().path();
    EXPECT_EQ(shared, qEnvironmentVariable("XDG_CONFIG_HOME") +
                          u"/Q7T2K9RW4M.group.dev.morvel.vpn/defaults.sqlite3");
    EXPECT_EQ(modeOf(QFileInfo(shared).absolutePath()), 0700u);
    EXPECT_EQ(modeOf(shared), 0600u);
}

// Writes a valid database with enough rows to span many pages, then breaks it.
void writeDamaged(const QTemporaryDir& dir, bool truncate) {
    const QString path = dir.filePath(QLatin1StringView(SettingsSuite::fileName));
    if (truncate) {
        {
            auto suite = openIn(dir);
            for (int i = 0; i < 200; ++i)
                suite->setText(u"key"_s + QString::number(i), QString(1000, u'x'));
        } // closing the last connection folds the journal into the file
        ASSERT_TRUE(QFile::resize(path, QFileInfo(path).size() / 2));
    } else {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray("this is not a database\n").repeated(300));
    }
}

TEST(SettingsSuite, DamagedDatabaseIsMovedAsideAndAFreshOneStarted) {
    for (const bool truncate : {false, true}) {
        SCOPED_TRACE(truncate ? "truncated" : "overwritten");
        QTemporaryDir dir;
        writeDamaged(dir, truncate);
        const QByteArray damagedBytes = [&] {
            QFile f(dir.filePath(QLatin1StringView(SettingsSuite::fileName)));
            f.open(QIODevice::ReadOnly);
            return f.readAll();
        }();

        auto suite = openIn(dir);
        ASSERT_TRUE(suite);
        EXPECT_EQ(suite->text(u"key1"_s), std::nullopt);
        ASSERT_TRUE(suite->setText(u"k"_s, u"v"_s));
        // The fresh one is healthy, and kept as it is by the next open.
        suite.reset();
        EXPECT_EQ(openIn(dir)->text(u"k"_s), u"v"_s);

        // The damaged file is kept, byte for byte, for support to look at.
        const QStringList aside =
            QDir(dir.path()).entryList({u"defaults.sqlite3.damaged-*"_s}, QDir::Files);
        ASSERT_EQ(aside.size(), 1) << aside.join(u' ').toStdString();
        QFile kept(dir.filePath(aside.first()));
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), damagedBytes);
    }
}

TEST(SettingsSuite, OnlyTheNewestDamagedCopiesAreKept) {
    QTemporaryDir dir;
    for (int i = 0; i < 5; ++i) {
        writeDamaged(dir, false);
        openIn(dir);
        QThread::msleep(2); // each copy is named by the time it was moved
    }
    EXPECT_EQ(QDir(dir.path()).entryList({u"*.damaged-*"_s}, QDir::Files).size(), 3);
}

// Asks a held peer one question and returns its one-line answer.
QString ask(QProcess& peer, const QString& question) {
    peer.write(question.toUtf8() + '\n');
    while (!peer.canReadLine() && peer.waitForReadyRead(10'000)) {
    }
    return QString::fromUtf8(peer.readLine()).trimmed();
}

TEST(SettingsSuite, APeerHoldingTheDatabaseFollowsItToTheFreshOne) {
    QTemporaryDir home;
    const QString group = home.filePath(u"Q7T2K9RW4M.group.dev.morvel.vpn"_s);
    QProcess peer;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"XDG_CONFIG_HOME"_s, home.path());
    peer.setProcessEnvironment(environment);
    peer.start(QStringLiteral(SETTINGS_PEER), {u"hold"_s});
    ASSERT_EQ(ask(peer, u"set k before"_s), u"ok"_s);

    // The repair moves the database and its journal files aside and starts a
    // fresh one, while the peer's connection stays open on the old files.
    for (const char* suffix : {"-wal", "-shm", ""})
        QFile::rename(group + u"/defaults.sqlite3" + QLatin1StringView(suffix),
                      group + u"/moved-aside" + QLatin1StringView(suffix));
    QString error;
    std::unique_ptr<SettingsSuite> repaired = SettingsSuite::open(group, &error);
    ASSERT_TRUE(repaired) << error.toStdString();
    ASSERT_TRUE(repaired->setText(u"k"_s, u"after"_s));

    EXPECT_EQ(ask(peer, u"get k"_s), u"after"_s);
    EXPECT_EQ(ask(peer, u"set p peer"_s), u"ok"_s);
    EXPECT_EQ(repaired->text(u"p"_s), u"peer"_s);
    peer.closeWriteChannel();
    EXPECT_TRUE(peer.waitForFinished(10'000));
}

TEST(SettingsSuiteDeathTest, UnusableDirectoryStopsWithThePathAndTheReason) {
    QTemporaryDir dir;
    QFile blocker(dir.filePath(u"blocker"_s));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    EXPECT_DEATH(
        {
            qputenv("XDG_CONFIG_HOME", QFile::encodeName(blocker.fileName() + u"/config"));
            SettingsSuite::shared();
        },
        "Cannot open the shared settings suite: .*blocker/config/Q7T2K9RW4M.group.dev.morvel.vpn: "
        "Not a directory");
}

// Processes that create the store at one moment wait out each other's locks
// instead of giving up (an app and its tunnel starting together).
TEST(SettingsSuite, ProcessesCreatingTheStoreTogetherAllOpenIt) {
    for (int round = 0; round < 25; ++round) {
        QTemporaryDir config;
        const QString go = config.filePath(u"go"_s);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_CONFIG_HOME"_s, config.path());
        std::vector<std::unique_ptr<QProcess>> peers;
        for (int i = 0; i < 4; ++i) {
            peers.push_back(std::make_unique<QProcess>());
            peers.back()->setProcessEnvironment(environment);
            peers.back()->start(QStringLiteral(SETTINGS_PEER), {u"open-at"_s, go});
            ASSERT_TRUE(peers.back()->waitForStarted());
        }
        QFile(go).open(QIODevice::WriteOnly);
        for (const auto& peer : peers) {
            ASSERT_TRUE(peer->waitForFinished(30'000));
            ASSERT_EQ(peer->exitCode(), 0)
                << "round " << round << ": " << peer->readAllStandardError().toStdString();
        }
    }
}

TEST(SettingsSuite, TwoProcessesWritingTheSameKeysNeverFailOrTear) {
    const int iterations = 400;
    QProcess a, b;
    a.start(QStringLiteral(SETTINGS_PEER), {u"race"_s, u"A"_s, QString::number(iterations)});
    b.start(QStringLiteral(SETTINGS_PEER), {u"race"_s, u"B"_s, QString::number(iterations)});
    // Reads from this process too while the two write.
    SettingsSuite& suite = SettingsSuite::shared();
    while (a.state() != QProcess::NotRunning || b.state() != QProcess::NotRunning) {
        if (const std::optional<QString> value = suite.text(u"race"_s)) {
            ASSERT_TRUE(value->endsWith(QString(2048, value->front()))) << "torn read";
        }
        a.waitForFinished(1);
        b.waitForFinished(1);
    }
    for (QProcess* peer : {&a, &b}) {
        EXPECT_EQ(peer->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(peer->exitCode(), 0) << peer->readAllStandardError().toStdString();
    }
    const QString last = QString::number(iterations - 1);
    EXPECT_EQ(suite.text(u"own-A"_s), u"A:"_s + last + u':' + QString(2048, u'A'));
    EXPECT_EQ(suite.text(u"own-B"_s), u"B:"_s + last + u':' + QString(2048, u'B'));

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(QFile::encodeName(suite.path()).constData(), &db,
                              SQLITE_OPEN_READONLY, nullptr),
              SQLITE_OK);
    sqlite3_stmt* check = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
    sqlite3_finalize(check);
    sqlite3_close(db);
}

} // namespace
