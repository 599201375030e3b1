#include "platform/linux/AppearancePortal.h"

#include <QDBusMessage>
#include <QDBusVariant>

using namespace Qt::StringLiterals;
using Scheme = Desktop::ColorScheme;

namespace {

const QString portalName = u"org.freedesktop.portal.Desktop"_s;
const QString portalPath = u"/org/freedesktop/portal/desktop"_s;
const QString settingsInterface = u"org.freedesktop.portal.Settings"_s;
const QString appearance = u"org.freedesktop.appearance"_s;
const QString colorSchemeKey = u"color-scheme"_s;

// 1 prefers dark, 2 prefers light, anything else none. Read answers the
// value wrapped once more than ReadOne does, so every wrapping is taken off.
Scheme schemeOf(QVariant value) {
    while (value.metaType() == QMetaType::fromType<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    if (value.metaType() != QMetaType::fromType<uint>())
        return Scheme::noPreference;
    switch (value.toUInt()) {
    case 1:
        return Scheme::dark;
    case 2:
        return Scheme::light;
    }
    return Scheme::noPreference;
}

QDBusMessage read(QDBusConnection& bus, const QString& method, int timeoutMs) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(portalName, portalPath, settingsInterface, method);
    call << appearance << colorSchemeKey;
    return bus.call(call, QDBus::Block, timeoutMs);
}

} // namespace

AppearancePortal::AppearancePortal(QDBusConnection bus, std::chrono::milliseconds bound,
                                   QObject* parent)
    : QObject(parent) {
    // The whole message: a slot of typed arguments needs their metatypes
    // registered by name before it can be matched, which nothing here ensures.
    bus.connect(portalName, portalPath, settingsInterface, u"SettingChanged"_s, this,
                SLOT(settingChanged(QDBusMessage)));
    // Waited for, briefly, so that the first frame is drawn in the right
    // scheme; a portal that does not answer in time leaves the palette to decide.
    QDBusMessage reply = read(bus, u"ReadOne"_s, int(bound.count()));
    // Portals before version 2 have only Read.
    if (reply.type() == QDBusMessage::ErrorMessage &&
        reply.errorName() == u"org.freedesktop.DBus.Error.UnknownMethod"_s)
        reply = read(bus, u"Read"_s, int(bound.count()));
    if (reply.type() == QDBusMessage::ReplyMessage)
        m_scheme = schemeOf(reply.arguments().value(0));
}

void AppearancePortal::settingChanged(const QDBusMessage& message) {
    const QVariantList arguments = message.arguments();
    if (arguments.value(0).toString() != appearance ||
        arguments.value(1).toString() != colorSchemeKey)
        return;
    const Scheme scheme = schemeOf(arguments.value(2));
    if (std::exchange(m_scheme, scheme) != scheme && m_changed)
        m_changed(scheme);
}
