#include "app/core/UpdateChecker.h"

#include "shared/log/Log.h"

UpdateChecker::UpdateChecker(const UpdaterFactory& makeUpdater, QObject* parent)
    : QObject(parent)
    , m_controller(makeUpdater(*this)) {}

UpdateChecker::~UpdateChecker() {
    // The updater goes first: it must not report to a half-destroyed checker.
    m_controller.reset();
}

void UpdateChecker::checkForUpdates() {
    if (m_controller)
        m_controller->checkForUpdates();
}

// Both callbacks may arrive on any thread: the values change only in tasks
// queued on this object's (the main) thread, in the order they were queued.
// A task queued for a checker that is gone is dropped with it.
void UpdateChecker::didFindValidUpdate(Updater&, const AppcastItem& item) {
    QMetaObject::invokeMethod(
        this,
        [this, item] {
            if (m_availableVersion != item.displayVersionString) {
                m_availableVersion = item.displayVersionString;
                Q_EMIT availableVersionChanged();
            }
            if (m_availableBuild != item.versionString) {
                m_availableBuild = item.versionString;
                Q_EMIT availableBuildChanged();
            }
            setAvailable(true);
            qCInfo(Log::update, "update available: %s (%s)",
                   Log::printable(item.displayVersionString).constData(),
                   Log::printable(item.versionString).constData());
        },
        Qt::QueuedConnection);
}

void UpdateChecker::didNotFindUpdate(Updater&) {
    QMetaObject::invokeMethod(
        this, [this] { setAvailable(false); }, Qt::QueuedConnection);
}

void UpdateChecker::setAvailable(bool available) {
    if (m_available == available)
        return;
    m_available = available;
    Q_EMIT availableChanged();
}
