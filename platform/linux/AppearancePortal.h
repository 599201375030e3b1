#pragma once

#include "platform/Desktop.h"

#include <QDBusConnection>
#include <QObject>

#include <chrono>
#include <functional>

class QDBusMessage;

// The desktop portal's "color-scheme" setting (namespace
// org.freedesktop.appearance), where GNOME, and every desktop with a portal,
// keeps the user's light or dark choice; Qt 6.4 reads it nowhere. Read once
// when made, waiting at most `bound` for the portal, then followed through
// the portal's SettingChanged signal, also from a portal that starts later.
class AppearancePortal final : public QObject {
    Q_OBJECT
public:
    explicit AppearancePortal(QDBusConnection bus,
                              std::chrono::milliseconds bound = std::chrono::milliseconds(300),
                              QObject* parent = nullptr);

    Desktop::ColorScheme colorScheme() const { return m_scheme; }
    void watch(std::function<void(Desktop::ColorScheme)> changed) {
        m_changed = std::move(changed);
    }

private Q_SLOTS:
    void settingChanged(const QDBusMessage& message);

private:
    Desktop::ColorScheme m_scheme = Desktop::ColorScheme::noPreference;
    std::function<void(Desktop::ColorScheme)> m_changed;
};
