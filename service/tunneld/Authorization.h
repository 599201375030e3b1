#pragma once

#include <QDBusConnection>
#include <QString>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <sys/types.h>

class ProfileStore;

// Whether a user may use the system service: once an administrator has
// authorised the polkit action for them, the approval is kept with their
// profiles and polkit is not asked again.
class Authorization {
public:
    enum class Answer { approved, needsApproval };
    struct Failure {
        QString message;
    };

    // `polkitBus` is the bus where polkit listens (the system bus).
    Authorization(QDBusConnection polkitBus, ProfileStore& store);

    bool isApproved(uid_t uid) const;
    // Asks polkit about the caller `busName` (a unique name) of user `uid`.
    // Interactive asks let polkit show an administrator's password prompt.
    // Throws Failure when polkit cannot be asked or gives no answer in time.
    QCoro::Task<Answer> request(uid_t uid, QString busName, bool interactive);

    // How long polkit may take: a person typing a password, or a quick check.
    static constexpr std::chrono::seconds interactiveBound{110};
    static constexpr std::chrono::seconds quickBound{10};

private:
    QDBusConnection m_bus;
    ProfileStore& m_store;
};
