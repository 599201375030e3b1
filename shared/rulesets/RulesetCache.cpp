#include "shared/rulesets/RulesetCache.h"

#include "platform/AppGroup.h"
#include "shared/log/Log.h"
#include "shared/net/HttpSession.h"
#include "shared/settings/AtomicFile.h"
#include "shared/settings/Constants.h"

#include <QDir>
#include <QFileInfo>
#include <QtConcurrent/QtConcurrentRun>
#include <qcoro/qcorofuture.h>

#include <cstdio>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace RulesetCache {

namespace {

constexpr auto downloadTimeout = 10s;

bool isPlainFileName(const QString& tag) {
    return !tag.isEmpty() && tag != u"." && tag != u".." && !tag.contains(u'/') &&
           !tag.contains(QChar(0));
}

// A tag as it may be written to the log: control characters escaped, so a
// hostile tag cannot forge log lines.
QByteArray printable(const QString& tag) {
    QByteArray out;
    for (const QChar c : tag) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            out += "\\x" + QByteArray::number(c.unicode(), 16).rightJustified(2, '0');
        else
            out += QString(c).toUtf8();
    }
    return out;
}

// The process's default HTTP session for plain downloads: each request may
// go 10 seconds without progress, with no cap on the whole transfer.
HttpSession& downloads() {
    static HttpSession* const session = new HttpSession({downloadTimeout, std::nullopt, false});
    return *session;
}

QUrl remoteURL(const QString& tag) {
    QUrl url = Constants::apiBaseURL();
    url.setPath(u"/rulesets/"_s + tag + u".srs", QUrl::DecodedMode);
    return url;
}

bool isFresh(const QString& path, double maxAge) {
    const QDateTime modified = QFileInfo(path).lastModified();
    if (!modified.isValid())
        return false;
    const double age = double(modified.msecsTo(QDateTime::currentDateTimeUtc())) / 1000.0;
    return age < maxAge;
}

// Writes the body beside the destination, then moves it into place. Runs on
// a worker thread. Empty on success, else why the write failed.
QString store(const QString& directory, const QString& tag, const QByteArray& body) {
    const QString temporary = directory + u"/." + tag + u".srs.tmp";
    QString error;
    if (!AtomicFile::write(temporary, body, &error))
        return error;
    // A failed replace is not reported: the next refresh tries again.
    std::rename(QFile::encodeName(temporary).constData(),
                QFile::encodeName(directory + u'/' + tag + u".srs").constData());
    return {};
}

QCoro::Task<void> refreshOne(QString directory, QString tag, double maxAge) {
    const QString destination = directory + u'/' + tag + u".srs";
    if (isFresh(destination, maxAge))
        co_return;
    const QByteArray name = printable(tag);
    // GCC 12 destroys temporaries of a co_await expression twice, so every
    // awaited task is built in a statement of its own first.
    QCoro::Task<HttpResult> exchange = downloads().send(QNetworkRequest(remoteURL(tag)), "GET");
    const HttpResult result = co_await exchange;
    if (!result.completed) {
        qCCritical(Log::rulesets, "rule-set %s fetch failed: %s", name.constData(),
                   qUtf8Printable(result.errorDescription));
        co_return;
    }
    if (result.status != 200) {
        qCCritical(Log::rulesets, "rule-set %s: HTTP %lld", name.constData(),
                   qint64(result.status.value_or(-1)));
        co_return;
    }
    QFuture<QString> storing =
        QtConcurrent::run([=, body = result.body] { return store(directory, tag, body); });
    const QString error = co_await storing;
    if (!error.isEmpty()) {
        qCCritical(Log::rulesets, "rule-set %s fetch failed: %s", name.constData(),
                   qUtf8Printable(error));
        co_return;
    }
    qCInfo(Log::rulesets, "rule-set %s: cached %lld bytes", name.constData(),
           qint64(result.body.size()));
}

} // namespace

std::optional<QString> rulesetsDirectory() {
    const std::optional<QString> container = AppGroup::containerDirectory(Constants::appGroup);
    return container ? std::optional(*container + u"/rulesets") : std::nullopt;
}

std::optional<QString> localURL(const QString& tag) {
    const std::optional<QString> directory = rulesetsDirectory();
    if (!directory || !isPlainFileName(tag))
        return std::nullopt;
    return *directory + u'/' + tag + u".srs";
}

QCoro::Task<void> refresh(QStringList tags, double maxAge) {
    const std::optional<QString> directory = rulesetsDirectory();
    if (!directory) {
        qCCritical(Log::rulesets, "rulesets dir unavailable (App Group not entitled?)");
        co_return;
    }
    QDir().mkpath(*directory);
    std::vector<QCoro::Task<void>> downloads;
    for (const QString& tag : tags) {
        if (!isPlainFileName(tag)) {
            qCCritical(Log::rulesets, "rule-set \"%s\" refused: not a plain file name",
                       printable(tag).constData());
            continue;
        }
        downloads.push_back(refreshOne(*directory, tag, maxAge));
    }
    for (QCoro::Task<void>& download : downloads)
        co_await download;
}

} // namespace RulesetCache
