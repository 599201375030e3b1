#pragma once

#include "service/tunneld/TunnelProfile.h"

#include <QList>
#include <QString>

#include <optional>
#include <sys/types.h>

// The profiles on disk, one owner-only JSON file per profile in a directory
// per user: <root>/users/<uid>/profiles/<id>.json. Files are replaced
// atomically, so a crash leaves the old profile or the new one. A file that
// cannot be read is moved aside (".damaged") and logged, never lost. Users'
// approvals live beside their profiles (<root>/users/<uid>/approved).
class ProfileStore {
public:
    // Most profiles one user may keep.
    static constexpr qsizetype maxProfilesPerUser = 32;

    explicit ProfileStore(QString root);

    // False, with the reason, when the root cannot be made owner-only.
    bool prepare(QString* error);
    const QString& root() const { return m_root; }

    QList<TunnelProfile> loadAll(uid_t uid) const;
    std::optional<TunnelProfile> load(uid_t uid, const QString& id) const;
    bool save(uid_t uid, const TunnelProfile& profile, QString* error);
    // True when the profile existed and is gone.
    bool remove(uid_t uid, const QString& id);

    bool isApproved(uid_t uid) const;
    bool setApproved(uid_t uid, QString* error);

private:
    QString userDir(uid_t uid) const;
    QString profilePath(uid_t uid, const QString& id) const;
    std::optional<TunnelProfile> readFile(const QString& path) const;

    QString m_root;
};
