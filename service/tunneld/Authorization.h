#pragma once

#include <QDBusConnection>
#include <QString>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <sys/types.h>

class ProfileStore;

// Whether a user may use the system service. Once an administrator has
// authorised the polkit action for a user, the approval is kept with the
// user's profiles, and polkit is asked again, without interaction, at every
// start: while it would let the user in with an administrator's password,
// the kept approval stands (as polkit's own auth_admin_keep remembers one),
// and when it says no outright, the approval is gone.
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
    void revoke(uid_t uid);

    // How long polkit may take: a person typing a password, or a quick check.
    static constexpr std::chrono::seconds interactiveBound{110};
    static constexpr std::chrono::seconds quickBound{10};

private:
    QDBusConnection m_bus;
    ProfileStore& m_store;
};
