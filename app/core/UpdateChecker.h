#pragma once

#include "platform/Updater.h"

#include <QObject>

#include <functional>
#include <memory>

// The app's software-update state, as the update banner shows it. It owns the
// running updater, hears its findings as its delegate, and publishes them on
// the main thread, whichever thread the updater reports on.
class UpdateChecker final : public QObject, public UpdaterDelegate {
    Q_OBJECT
    Q_PROPERTY(bool available READ available NOTIFY availableChanged)
    Q_PROPERTY(QString availableVersion READ availableVersion NOTIFY availableVersionChanged)
    Q_PROPERTY(QString availableBuild READ availableBuild NOTIFY availableBuildChanged)
public:
    // Makes the platform's updater, started, with the given delegate; may
    // return null where the build has no updater.
    using UpdaterFactory = std::function<std::unique_ptr<Updater>(UpdaterDelegate&)>;

    explicit UpdateChecker(const UpdaterFactory& makeUpdater, QObject* parent = nullptr);
    ~UpdateChecker() override;

    bool available() const { return m_available; }
    const QString& availableVersion() const { return m_availableVersion; }
    const QString& availableBuild() const { return m_availableBuild; }

    // Asks the updater for a check now; nothing happens without an updater.
    Q_INVOKABLE void checkForUpdates();

    void didFindValidUpdate(Updater& updater, const AppcastItem& item) override;
    void didNotFindUpdate(Updater& updater) override;

Q_SIGNALS:
    void availableChanged();
    void availableVersionChanged();
    void availableBuildChanged();

private:
    void setAvailable(bool available);

    bool m_available = false;
    QString m_availableVersion;
    QString m_availableBuild;
    std::unique_ptr<Updater> m_controller;
};
