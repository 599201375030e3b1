// A second process on the shared settings suite, driven by the suite's tests.
//   settings_peer race ID COUNT   hammers shared keys, checking every answer
//   settings_peer hold            keeps the suite open and answers, a line each,
//                                 "get KEY" and "set KEY VALUE" read from stdin
//   settings_peer open-at FILE    waits (at most 10 s) for FILE to exist, then
//                                 opens the suite and stores its pid: peers
//                                 started together open it at one moment
#include "shared/settings/SettingsSuite.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

QString raceValue(QChar id, int i) {
    return QString(id) + u':' + QString::number(i) + u':' + QString(2048, id);
}

// A value of any racing peer, whole: "<id>:<i>:" and 2048 copies of <id>.
bool wellFormed(const std::optional<QString>& value) {
    if (!value)
        return false;
    const QStringList parts = value->split(u':');
    return parts.size() == 3 && parts[0].size() == 1 && parts[2] == QString(2048, parts[0][0]);
}

int fail(const char* what, int i) {
    std::fprintf(stderr, "settings_peer: %s at iteration %d\n", what, i);
    return 1;
}

int race(QChar id, int count) {
    SettingsSuite& suite = SettingsSuite::shared();
    const QString own = u"own-"_s + id;
    for (int i = 0; i < count; ++i) {
        const QString value = raceValue(id, i);
        if (!suite.setText(u"race"_s, value) || !suite.setBytes(u"race-bytes"_s, value.toUtf8()))
            return fail("shared write failed", i);
        if (!suite.setText(own, value) || suite.text(own) != value)
            return fail("own key did not read back", i);
        if (!wellFormed(suite.text(u"race"_s)))
            return fail("torn or missing text", i);
        const std::optional<QByteArray> bytes = suite.bytes(u"race-bytes"_s);
        if (!bytes || !wellFormed(QString::fromUtf8(*bytes)))
            return fail("torn or missing bytes", i);
    }
    return 0;
}

// One connection, held across whatever the other process does to the file.
int hold() {
    SettingsSuite& suite = SettingsSuite::shared();
    char line[4096];
    while (std::fgets(line, sizeof line, stdin)) {
        const QStringList words = QString::fromUtf8(line).trimmed().split(u' ');
        if (words.size() == 2 && words[0] == u"get") {
            const std::optional<QString> value = suite.text(words[1]);
            std::printf("%s\n", value ? qPrintable(*value) : "<absent>");
        } else if (words.size() == 3 && words[0] == u"set") {
            std::printf("%s\n", suite.setText(words[1], words[2]) ? "ok" : "failed");
        } else {
            std::printf("?\n");
        }
        std::fflush(stdout);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 3 && args[0] == u"race" && args[1].size() == 1)
        return race(args[1][0], args[2].toInt());
    if (args.size() == 1 && args[0] == u"hold")
        return hold();
    if (args.size() == 2 && args[0] == u"open-at") {
        const QDeadlineTimer limit(10'000);
        while (!QFileInfo::exists(args[1]) && !limit.hasExpired()) {
        }
        return SettingsSuite::shared().setText(u"opened-"_s + QString::number(app.applicationPid()),
                                               u"yes"_s)
                   ? 0
                   : 1;
    }
    std::fputs("usage: settings_peer race ID COUNT | hold | open-at FILE\n", stderr);
    return 2;
}
