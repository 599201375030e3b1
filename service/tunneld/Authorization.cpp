#include "service/tunneld/Authorization.h"

#include "service/tunneld/ProfileStore.h"
#include "service/tunneld/ServiceLog.h"
#include "shared/tunnel/TunnelServiceApi.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <qcoro/qcorodbuspendingcall.h>

using namespace Qt::StringLiterals;

Authorization::Authorization(QDBusConnection polkitBus, ProfileStore& store)
    : m_bus(std::move(polkitBus))
    , m_store(store) {
    qDBusRegisterMetaType<QMap<QString, QString>>();
}

bool Authorization::isApproved(uid_t uid) const {
    return m_store.isApproved(uid);
}

QCoro::Task<Authorization::Answer> Authorization::request(uid_t uid, QString busName,
                                                          bool interactive) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        u"org.freedesktop.PolicyKit1"_s, u"/org/freedesktop/PolicyKit1/Authority"_s,
        u"org.freedesktop.PolicyKit1.Authority"_s, u"CheckAuthorization"_s);
    // The subject is the caller's connection, which polkit resolves to its
    // process and session itself: nothing the caller says is trusted.
    QDBusArgument subject;
    subject.beginStructure();
    subject << u"system-bus-name"_s << QVariantMap{{u"name"_s, busName}};
    subject.endStructure();
    constexpr quint32 allowUserInteraction = 1;
    call << QVariant::fromValue(subject) << QString(TunnelServiceApi::polkitAction)
         << QVariant::fromValue(QMap<QString, QString>())
         << quint32(interactive ? allowUserInteraction : 0) << QString();
    const auto bound = interactive ? interactiveBound : quickBound;
    QDBusPendingCall pending = m_bus.asyncCall(call, int(std::chrono::milliseconds(bound).count()));
    const QDBusMessage reply = co_await pending;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) {
        qCCritical(ServiceLog::tunneld, "polkit check for uid %u failed: %s", uid,
                   qUtf8Printable(reply.errorMessage()));
        throw Failure{u"Couldn’t ask polkit for authorisation: "_s + reply.errorMessage()};
    }
    bool authorized = false;
    bool challenge = false;
    QMap<QString, QString> details;
    const auto result = reply.arguments().first().value<QDBusArgument>();
    result.beginStructure();
    result >> authorized >> challenge >> details;
    result.endStructure();
    if (!authorized) {
        if (challenge && m_store.isApproved(uid)) {
            // An administrator said yes before and polkit would still let
            // one say it: the approval given stands.
            co_return Answer::approved;
        }
        if (!challenge && m_store.isApproved(uid)) {
            m_store.revokeApproval(uid);
            qCInfo(ServiceLog::tunneld, "uid %u no longer authorised by polkit: approval revoked",
                   uid);
        } else {
            qCInfo(ServiceLog::tunneld, "uid %u not authorised%s", uid,
                   interactive ? "" : " (not asked interactively)");
        }
        co_return Answer::needsApproval;
    }
    if (m_store.isApproved(uid))
        co_return Answer::approved;
    QString error;
    if (!m_store.setApproved(uid, &error))
        qCCritical(ServiceLog::tunneld, "cannot keep the approval of uid %u: %s", uid,
                   qUtf8Printable(error));
    qCInfo(ServiceLog::tunneld, "uid %u approved by polkit", uid);
    co_return Answer::approved;
}

void Authorization::revoke(uid_t uid) {
    if (!m_store.isApproved(uid))
        return;
    m_store.revokeApproval(uid);
    qCInfo(ServiceLog::tunneld, "uid %u: approval revoked", uid);
}
