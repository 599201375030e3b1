#include "service/tunneld/ProfileStore.h"

#include "service/tunneld/ServiceLog.h"
#include "shared/settings/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

// Creates `path` and its parents owner-only, and makes an existing one owner-only.
bool makePrivateDir(const QString& path, QString* error) {
    if (!QDir().mkpath(path)) {
        *error = u"cannot create "_s + path;
        return false;
    }
    if (::chmod(QFile::encodeName(path).constData(), 0700) != 0) {
        *error = u"cannot make "_s + path + u" owner-only"_s;
        return false;
    }
    return true;
}

} // namespace

ProfileStore::ProfileStore(QString root)
    : m_root(std::move(root)) {}

bool ProfileStore::prepare(QString* error) {
    return makePrivateDir(m_root, error) && makePrivateDir(m_root + u"/users"_s, error);
}

QString ProfileStore::userDir(uid_t uid) const {
    return m_root + u"/users/"_s + QString::number(uid);
}

QString ProfileStore::profilePath(uid_t uid, const QString& id) const {
    return userDir(uid) + u"/profiles/"_s + id + u".json"_s;
}

std::optional<TunnelProfile> ProfileStore::readFile(const QString& path) const {
    QFile file(path);
    QString error;
    std::optional<TunnelProfile> profile;
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
    } else if (file.size() > 1024 * 1024) {
        error = u"larger than any profile"_s;
    } else {
        profile = TunnelProfileCoding::fromJson(file.readAll(), &error);
        // A file renamed by hand must not pass as another profile.
        if (profile && profile->id + u".json"_s != QFileInfo(path).fileName()) {
            profile.reset();
            error = u"its id does not match its name"_s;
        }
    }
    if (profile)
        return profile;
    const QString aside = path + u".damaged"_s;
    QFile::remove(aside);
    const bool moved = file.exists() && QFile::rename(path, aside);
    qCCritical(ServiceLog::tunneld, "profile file %s unreadable (%s); %s", qUtf8Printable(path),
               qUtf8Printable(error), moved ? "moved aside as .damaged" : "left in place");
    return std::nullopt;
}

QList<TunnelProfile> ProfileStore::loadAll(uid_t uid) const {
    QList<TunnelProfile> profiles;
    const QDir dir(userDir(uid) + u"/profiles"_s);
    const QStringList names = dir.entryList({u"*.json"_s}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        if (!TunnelProfileCoding::isValidId(name.chopped(5)))
            continue;
        if (std::optional<TunnelProfile> profile = readFile(dir.filePath(name)))
            profiles.append(std::move(*profile));
    }
    return profiles;
}

std::optional<TunnelProfile> ProfileStore::load(uid_t uid, const QString& id) const {
    if (!TunnelProfileCoding::isValidId(id))
        return std::nullopt;
    const QString path = profilePath(uid, id);
    if (!QFileInfo::exists(path))
        return std::nullopt;
    return readFile(path);
}

bool ProfileStore::save(uid_t uid, const TunnelProfile& profile, QString* error) {
    if (!TunnelProfileCoding::isValidId(profile.id)) {
        *error = u"invalid profile id"_s;
        return false;
    }
    const QString dir = userDir(uid) + u"/profiles"_s;
    if (!makePrivateDir(userDir(uid), error) || !makePrivateDir(dir, error))
        return false;
    const QString path = profilePath(uid, profile.id);
    if (!QFileInfo::exists(path) &&
        QDir(dir).entryList({u"*.json"_s}, QDir::Files).size() >= maxProfilesPerUser) {
        *error = u"too many profiles"_s;
        return false;
    }
    return AtomicFile::write(path, TunnelProfileCoding::toJson(profile), error);
}

bool ProfileStore::remove(uid_t uid, const QString& id) {
    return TunnelProfileCoding::isValidId(id) && QFile::remove(profilePath(uid, id));
}

bool ProfileStore::isApproved(uid_t uid) const {
    return QFileInfo::exists(userDir(uid) + u"/approved"_s);
}

bool ProfileStore::setApproved(uid_t uid, QString* error) {
    return makePrivateDir(userDir(uid), error) &&
           AtomicFile::write(userDir(uid) + u"/approved"_s, QByteArray(), error);
}
