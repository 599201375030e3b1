#pragma once

#include <QString>
#include <QStringList>
#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>

class Clock;
class HttpSession;
class NetworkAccessFactory;

// The rule-set files the tunnel reads, one "<tag>.srs" per rule-set in the
// shared container's "rulesets" directory, kept fresh from the service.
namespace RulesetCache {

// The cache directory; absent when there is no shared container.
std::optional<QString> rulesetsDirectory();

// Where the tag's file lives (whether or not it exists yet). Absent when there
// is no container, or when the tag is no plain file name ("", ".", "..", or
// with "/" or NUL): a tag comes from the network and must never name a file
// outside the directory.
std::optional<QString> localURL(const QString& tag);

// Downloads, all at once, every tag whose file is missing or at least `maxAge`
// seconds old; returns when each is done. Never fails: each tag's outcome goes
// to the log, and a failed download leaves the cached file as it was.
// Runs on the process's download session, made on first use from the
// standard network factory.
QCoro::Task<void> refresh(QStringList tags, double maxAge);
// The same on `session`, whose clock also says how old a file is.
QCoro::Task<void> refresh(QStringList tags, double maxAge, HttpSession& session);

// A session with the download rules: 10 seconds without progress, 120 seconds
// and 32 MiB for a whole file.
std::unique_ptr<HttpSession> makeDownloadSession(std::shared_ptr<Clock> clock,
                                                 const NetworkAccessFactory& network);

} // namespace RulesetCache
