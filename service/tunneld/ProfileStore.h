#pragma once

#include "service/tunneld/TunnelProfile.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>

#include <optional>
#include <sys/types.h>

// The profiles on disk, one owner-only JSON file per profile in a directory
// per user: <root>/users/<uid>/profiles/<id>.json. Files are replaced
// atomically, so a crash leaves the old profile or the new one. A file that
// cannot be read is moved aside (".damaged") and logged, never lost; only the
// newest few damaged copies are kept. Users' approvals live beside their
// profiles (<root>/users/<uid>/approved), and the account they were made for
// beside them (<root>/users/<uid>/account).
//
// A user's profiles are read from disk once and then served from memory, so
// one user's calls cost the service no parsing; every change goes to disk
// before it is taken in memory.
class ProfileStore {
public:
    // Most profiles one user may keep.
    static constexpr qsizetype maxProfilesPerUser = 32;
    // Most bytes one stored profile may take: what the provider accepts as its
    // configuration, with room for the rest of the profile.
    static constexpr qsizetype maxProfileBytes = 56 * 1024;
    // Most bytes all of one user's profiles may take together.
    static constexpr qsizetype maxBytesPerUser = 256 * 1024;
    // Damaged copies kept per user, the newest ones.
    static constexpr qsizetype keptDamagedCopies = 3;

    explicit ProfileStore(QString root);

    // False, with the reason, when the root cannot be made owner-only.
    bool prepare(QString* error);
    const QString& root() const { return m_root; }

    QList<TunnelProfile> loadAll(uid_t uid);
    std::optional<TunnelProfile> load(uid_t uid, const QString& id);
    bool save(uid_t uid, const TunnelProfile& profile, QString* error);
    // True when the profile existed and is gone.
    bool remove(uid_t uid, const QString& id);

    bool isApproved(uid_t uid) const;
    bool setApproved(uid_t uid, QString* error);
    void revokeApproval(uid_t uid);

    // Makes sure what is kept for `uid` belongs to the account `account`
    // (its name and home): what an earlier account of the same uid left,
    // profiles and approval alike, is removed, so that a new account never
    // inherits another's subscription. False when it could not be removed.
    bool adoptAccount(uid_t uid, const QByteArray& account);

private:
    struct UserProfiles {
        QMap<QString, TunnelProfile> byId;
        QHash<QString, qsizetype> bytes; // stored size of each
        qsizetype totalBytes = 0;
    };

    UserProfiles& profilesOf(uid_t uid);
    QString userDir(uid_t uid) const;
    QString profilePath(uid_t uid, const QString& id) const;
    std::optional<TunnelProfile> readFile(const QString& path, qsizetype* bytes) const;
    void setAside(const QString& path) const;

    QString m_root;
    QHash<uid_t, UserProfiles> m_users;
};
