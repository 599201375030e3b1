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

std::optional<TunnelProfile> ProfileStore::readFile(const QString& path, qsizetype* bytes) const {
    QFile file(path);
    QString error;
    std::optional<TunnelProfile> profile;
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
    } else if (file.size() > maxProfileBytes) {
        error = u"larger than any profile"_s;
    } else {
        const QByteArray data = file.readAll();
        *bytes = data.size();
        profile = TunnelProfileCoding::fromJson(data, &error);
        // A file renamed by hand must not pass as another profile.
        if (profile && profile->id + u".json"_s != QFileInfo(path).fileName()) {
            profile.reset();
            error = u"its id does not match its name"_s;
        }
    }
    if (profile)
        return profile;
    qCCritical(ServiceLog::tunneld, "profile file %s unreadable (%s)", qUtf8Printable(path),
               qUtf8Printable(error));
    setAside(path);
    return std::nullopt;
}

// Moves a damaged file out of the profiles' way and keeps only the newest
// damaged copies, so that damage, however often, never fills the disk.
void ProfileStore::setAside(const QString& path) const {
    const QString aside = path + u".damaged"_s;
    QFile::remove(aside);
    if (!QFile::rename(path, aside)) {
        qCCritical(ServiceLog::tunneld, "cannot move %s aside; removed", qUtf8Printable(path));
        QFile::remove(path);
        return;
    }
    const QDir dir = QFileInfo(path).dir();
    const QFileInfoList damaged =
        dir.entryInfoList({u"*.damaged"_s}, QDir::Files | QDir::Hidden, QDir::Time);
    for (qsizetype i = keptDamagedCopies; i < damaged.size(); ++i)
        QFile::remove(damaged[i].filePath());
    qCCritical(ServiceLog::tunneld, "moved aside as %s", qUtf8Printable(aside));
}

ProfileStore::UserProfiles& ProfileStore::profilesOf(uid_t uid) {
    if (const auto it = m_users.find(uid); it != m_users.end())
        return *it;
    UserProfiles& user = m_users[uid];
    const QDir dir(userDir(uid) + u"/profiles"_s);
    const QStringList names = dir.entryList({u"*.json"_s}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        if (!TunnelProfileCoding::isValidId(name.chopped(5)))
            continue;
        qsizetype bytes = 0;
        if (std::optional<TunnelProfile> profile = readFile(dir.filePath(name), &bytes)) {
            user.bytes.insert(profile->id, bytes);
            user.totalBytes += bytes;
            user.byId.insert(profile->id, std::move(*profile));
        }
    }
    return user;
}

QList<TunnelProfile> ProfileStore::loadAll(uid_t uid) {
    return profilesOf(uid).byId.values();
}

std::optional<TunnelProfile> ProfileStore::load(uid_t uid, const QString& id) {
    const UserProfiles& user = profilesOf(uid);
    if (const auto it = user.byId.constFind(id); it != user.byId.cend())
        return *it;
    return std::nullopt;
}

bool ProfileStore::save(uid_t uid, const TunnelProfile& profile, QString* error) {
    if (!TunnelProfileCoding::isValidId(profile.id)) {
        *error = u"invalid profile id"_s;
        return false;
    }
    UserProfiles& user = profilesOf(uid);
    const bool isNew = !user.byId.contains(profile.id);
    if (isNew && user.byId.size() >= maxProfilesPerUser) {
        *error = u"too many profiles"_s;
        return false;
    }
    // Sizes are counted as stored: text the caller sends short can take six
    // bytes a character on disk.
    const QByteArray data = TunnelProfileCoding::toJson(profile);
    if (data.size() > maxProfileBytes) {
        *error = u"the profile is too large"_s;
        return false;
    }
    const qsizetype total = user.totalBytes - user.bytes.value(profile.id) + data.size();
    if (total > maxBytesPerUser) {
        *error = u"this user's profiles would take too much space"_s;
        return false;
    }
    const QString dir = userDir(uid) + u"/profiles"_s;
    if (!makePrivateDir(userDir(uid), error) || !makePrivateDir(dir, error) ||
        !AtomicFile::write(profilePath(uid, profile.id), data, error))
        return false;
    user.byId.insert(profile.id, profile);
    user.bytes.insert(profile.id, data.size());
    user.totalBytes = total;
    return true;
}

bool ProfileStore::remove(uid_t uid, const QString& id) {
    UserProfiles& user = profilesOf(uid);
    if (!user.byId.contains(id) || !QFile::remove(profilePath(uid, id)))
        return false;
    user.byId.remove(id);
    user.totalBytes -= user.bytes.take(id);
    return true;
}

bool ProfileStore::isApproved(uid_t uid) const {
    return QFileInfo::exists(userDir(uid) + u"/approved"_s);
}

bool ProfileStore::setApproved(uid_t uid, QString* error) {
    return makePrivateDir(userDir(uid), error) &&
           AtomicFile::write(userDir(uid) + u"/approved"_s, QByteArray(), error);
}

void ProfileStore::revokeApproval(uid_t uid) {
    QFile::remove(userDir(uid) + u"/approved"_s);
}

bool ProfileStore::adoptAccount(uid_t uid, const QByteArray& account) {
    const QString path = userDir(uid) + u"/account"_s;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        if (file.read(4096) == account)
            return true;
        // Another account had this uid before: what it kept goes with it.
        file.close();
        qCInfo(ServiceLog::tunneld,
               "uid %u: profiles and approval of an earlier account of this uid removed", uid);
        m_users.remove(uid);
        if (!QDir(userDir(uid)).removeRecursively())
            return false;
    }
    // A folder kept before accounts were recorded is taken as this account's.
    QString error;
    return makePrivateDir(userDir(uid), &error) && AtomicFile::write(path, account, &error);
}
