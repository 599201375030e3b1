#pragma once

#include "platform/Updater.h"

#include <QObject>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>

class Clock;
class ClockTimer;
class Desktop;
class HttpSession;
class NetworkAccessFactory;

// The updater of the Linux build: it reads an appcast feed on a schedule and
// reports whether it offers a build newer than the running one. Installing is
// left to the user: a check the user asks for opens the release's web page
// when there is one. Main thread only.
class AppcastUpdater final : public QObject, public Updater {
    Q_OBJECT
public:
    struct Configuration {
        QUrl feedURL;
        std::chrono::seconds checkInterval;
        // The running build's version, compared with each item's version.
        QString runningVersion;
    };
    // The feed, the schedule and the build version this program was built with.
    static Configuration buildConfiguration();

    // Starts at once: the first check runs ten seconds later.
    AppcastUpdater(Configuration configuration, UpdaterDelegate& delegate, Desktop& desktop,
                   std::shared_ptr<Clock> clock, const NetworkAccessFactory& network,
                   QObject* parent = nullptr);
    ~AppcastUpdater() override;

    void checkForUpdates() override;

private:
    QCoro::Task<void> check();
    void schedule();

    Configuration m_configuration;
    UpdaterDelegate& m_delegate;
    Desktop& m_desktop;
    std::shared_ptr<Clock> m_clock;
    std::unique_ptr<HttpSession> m_session;
    std::unique_ptr<ClockTimer> m_timer;
    bool m_checking = false;
    // The user asked while a check ran, or before it: show them its outcome.
    bool m_userWaiting = false;
};
