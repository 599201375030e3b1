#include "shared/rulesets/RulesetCache.h"

#include "platform/AppGroup.h"
#include "shared/log/Log.h"
#include "shared/net/HttpSession.h"
#include "shared/net/NetworkAccess.h"
#include "shared/settings/AtomicFile.h"
#include "shared/settings/Constants.h"

#include <QFileInfo>
#include <QtConcurrent/QtConcurrentRun>
#include <qcoro/qcorofuture.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace RulesetCache {

namespace {

constexpr auto downloadTimeout = 10s;
// Bounds no real rule-set file comes near, so a server that trickles or never
// stops can neither hold a connect for ever nor fill the disk.
constexpr auto wholeDownloadLimit = 120s;
constexpr qint64 maxFileBytes = 32 * 1024 * 1024;

bool isPlainFileName(const QString& tag) {
    return !tag.isEmpty() && tag != u"." && tag != u".." && !tag.contains(u'/') &&
           !tag.contains(QChar(0));
}

QUrl remoteURL(const QString& tag) {
    QUrl url = Constants::apiBaseURL();
    url.setPath(u"/rulesets/"_s + tag + u".srs", QUrl::DecodedMode);
    return url;
}

bool isFresh(const QString& path, double maxAge, const QDateTime& now) {
    const QDateTime modified = QFileInfo(path).lastModified();
    if (!modified.isValid())
        return false;
    const double age = double(modified.msecsTo(now)) / 1000.0;
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
    AtomicFile::replace(temporary, directory + u'/' + tag + u".srs");
    return {};
}

QCoro::Task<void> refreshOne(QString directory, QString tag, double maxAge, HttpSession& session) {
    const QString destination = directory + u'/' + tag + u".srs";
    if (isFresh(destination, maxAge, session.clock()->now()))
        co_return;
    const QByteArray name = Log::printable(tag);
    // GCC 12 destroys temporaries of a co_await expression twice, so every
    // awaited task is built in a statement of its own first.
    QCoro::Task<HttpResult> exchange = session.send(QNetworkRequest(remoteURL(tag)), "GET");
    const HttpResult result = co_await exchange;
    if (!result.completed) {
        qCCritical(Log::rulesets, "rule-set %s fetch failed: %s", name.constData(),
                   Log::printable(result.errorDescription).constData());
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

std::unique_ptr<HttpSession> makeDownloadSession(std::shared_ptr<Clock> clock,
                                                 const NetworkAccessFactory& network) {
    return std::make_unique<HttpSession>(
        HttpSession::Options{downloadTimeout, wholeDownloadLimit, false, maxFileBytes},
        std::move(clock), network);
}

QCoro::Task<void> refresh(QStringList tags, double maxAge) {
    // The process's session for plain downloads, kept for its life.
    static HttpSession* const session = makeDownloadSession(Clock::system(), NetworkAccessFactory::standard()).release();
    return refresh(std::move(tags), maxAge, *session);
}

QCoro::Task<void> refresh(QStringList tags, double maxAge, HttpSession& session) {
    const std::optional<QString> directory = rulesetsDirectory();
    if (!directory) {
        qCCritical(Log::rulesets, "rulesets dir unavailable (App Group not entitled?)");
        co_return;
    }
    // A failure (the directory exists already, or any other) shows in each download.
    AppGroup::makePrivateDirectory(*directory, nullptr);
    std::vector<QCoro::Task<void>> downloads;
    for (const QString& tag : tags) {
        if (!isPlainFileName(tag)) {
            qCCritical(Log::rulesets, "rule-set \"%s\" refused: not a plain file name",
                       Log::printable(tag).constData());
            continue;
        }
        downloads.push_back(refreshOne(*directory, tag, maxAge, session));
    }
    for (QCoro::Task<void>& download : downloads)
        co_await download;
}

} // namespace RulesetCache
