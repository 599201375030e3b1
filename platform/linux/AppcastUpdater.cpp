#include "platform/linux/AppcastUpdater.h"

#include "platform/Desktop.h"
#include "platform/linux/Appcast.h"
#include "shared/async/Clock.h"
#include "shared/async/Detached.h"
#include "shared/log/Log.h"
#include "shared/net/HttpSession.h"

#include <QPointer>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

AppcastUpdater::Configuration AppcastUpdater::buildConfiguration() {
    return {QUrl(QStringLiteral(HALVORAN_UPDATE_FEED_URL)),
            std::chrono::seconds(HALVORAN_UPDATE_CHECK_INTERVAL), QStringLiteral(HALVORAN_BUILD)};
}

AppcastUpdater::AppcastUpdater(Configuration configuration, UpdaterDelegate& delegate,
                               Desktop& desktop, std::shared_ptr<Clock> clock,
                               const NetworkAccessFactory& network, QObject* parent)
    : QObject(parent)
    , m_configuration(std::move(configuration))
    , m_delegate(delegate)
    , m_desktop(desktop)
    , m_clock(std::move(clock))
    , m_session(
          std::make_unique<HttpSession>(HttpSession::Options{.requestTimeout = 30s,
                                                             .resourceTimeout = 60s,
                                                             .ephemeral = true,
                                                             .maxBodyBytes = Appcast::maxBytes},
                                        m_clock, network))
    , m_timer(m_clock->createTimer()) {
    QObject::connect(m_timer.get(), &ClockTimer::timeout, this, [this] { Detached::start(check(), this, Log::update); });
    // The first check waits until the program is up and drawn.
    m_timer->start(10s);
}

AppcastUpdater::~AppcastUpdater() = default;

void AppcastUpdater::checkForUpdates() {
    m_userWaiting = true;
    if (!m_checking)
        Detached::start(check(), this, Log::update);
}

void AppcastUpdater::schedule() {
    m_timer->start(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::max(m_configuration.checkInterval, std::chrono::seconds(60))));
}

QCoro::Task<void> AppcastUpdater::check() {
    if (m_checking)
        co_return;
    m_checking = true;
    m_timer->stop();
    QPointer self(this);
    QNetworkRequest request(m_configuration.feedURL);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    QCoro::Task<HttpResult> sending = m_session->send(request, "GET");
    const HttpResult result = co_await sending;
    if (!self)
        co_return;
    m_checking = false;
    const bool userInitiated = std::exchange(m_userWaiting, false);
    schedule();

    QString failure;
    std::optional<QList<AppcastItem>> items;
    if (!result.completed)
        failure = result.tooLarge ? u"the feed is larger than %1 bytes"_s.arg(Appcast::maxBytes)
                                  : result.errorDescription;
    else if (result.status != 200)
        failure = u"the feed answered HTTP %1"_s.arg(result.status.value_or(0));
    else if (items = Appcast::parse(result.body); !items)
        failure = u"the feed is not an update feed"_s;
    if (!failure.isEmpty()) {
        qCCritical(Log::update, "update check failed: %s", Log::printable(failure).constData());
        co_return;
    }

    const auto update = Appcast::newestUpdate(*items, m_configuration.runningVersion);
    if (!update) {
        m_delegate.didNotFindUpdate(*this);
        if (userInitiated)
            qCInfo(Log::update, "no update newer than build %s",
                   Log::printable(m_configuration.runningVersion).constData());
        co_return;
    }
    m_delegate.didFindValidUpdate(*this, *update);
    if (userInitiated && !update->infoURL.isEmpty())
        m_desktop.openUrl(update->infoURL);
}
