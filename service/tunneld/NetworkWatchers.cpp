#include "service/tunneld/NetworkWatchers.h"

#include "service/tunneld/ServiceLog.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

bool SleepWatcher::watch(QDBusConnection bus) {
    return bus.isConnected() &&
           bus.connect(u"org.freedesktop.login1"_s, u"/org/freedesktop/login1"_s,
                       u"org.freedesktop.login1.Manager"_s, u"PrepareForSleep"_s, this,
                       SLOT(prepareForSleep(bool)));
}

void SleepWatcher::prepareForSleep(bool sleeping) {
    if (sleeping) {
        qCInfo(ServiceLog::tunneld, "going to sleep");
        return;
    }
    qCInfo(ServiceLog::tunneld, "resumed from sleep");
    Q_EMIT resumed();
}

RouteWatcher::RouteWatcher(std::chrono::milliseconds settle, QObject* parent)
    : QObject(parent) {
    m_settle.setSingleShot(true);
    m_settle.setInterval(settle);
    m_settle.callOnTimeout(this, &RouteWatcher::settle);
}

RouteWatcher::~RouteWatcher() {
    if (m_socket >= 0)
        ::close(m_socket);
}

bool RouteWatcher::watch() {
    m_socket = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (m_socket < 0)
        return false;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(m_socket);
        m_socket = -1;
        return false;
    }
    m_routes = defaultRoutes();
    m_notifier = new QSocketNotifier(m_socket, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &RouteWatcher::readMessages);
    return true;
}

void RouteWatcher::readMessages() {
    alignas(nlmsghdr) char buffer[8192];
    bool defaultRouteTouched = false;
    bool overflowed = false;
    for (;;) {
        const ssize_t length = ::recv(m_socket, buffer, sizeof buffer, 0);
        if (length < 0 && errno == ENOBUFS) {
            overflowed = true;
            continue;
        }
        if (length <= 0)
            break;
        int remaining = int(length);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, remaining);
             header = NLMSG_NEXT(header, remaining)) {
            if (header->nlmsg_type != RTM_NEWROUTE && header->nlmsg_type != RTM_DELROUTE)
                continue;
            const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(header));
            if (route->rtm_dst_len == 0)
                defaultRouteTouched = true;
        }
    }
    // Lost messages may have been about the default route: the comparison
    // after the pause reads the routes afresh, so nothing is missed.
    if (defaultRouteTouched || overflowed)
        m_settle.start();
}

void RouteWatcher::settle() {
    const QString routes = defaultRoutes();
    if (routes == m_routes)
        return;
    m_routes = routes;
    qCInfo(ServiceLog::tunneld, "default route changed: %s",
           routes.isEmpty() ? "none" : qUtf8Printable(QString(routes).replace(u'\n', u"; "_s)));
    if (!routes.isEmpty())
        Q_EMIT defaultRouteChanged();
}

QString RouteWatcher::defaultRoutes() {
    const auto isTun = [](const QString& interface) {
        return QFileInfo::exists(u"/sys/class/net/"_s + interface + u"/tun_flags"_s);
    };
    QStringList routes;
    QFile v4(u"/proc/net/route"_s);
    if (v4.open(QIODevice::ReadOnly)) {
        v4.readLine();
        while (!v4.atEnd()) {
            // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
            const QStringList f = QString::fromLatin1(v4.readLine()).split(u'\t');
            if (f.size() >= 8 && f[1] == "00000000"_L1 && f[7] == "00000000"_L1 && !isTun(f[0]))
                routes << u"4 "_s + f[0] + u' ' + f[2];
        }
    }
    QFile v6(u"/proc/net/ipv6_route"_s);
    if (v6.open(QIODevice::ReadOnly)) {
        while (!v6.atEnd()) {
            // dest dest_len src src_len gateway metric refcnt use flags iface
            const QStringList f =
                QString::fromLatin1(v6.readLine()).simplified().split(u' ', Qt::SkipEmptyParts);
            if (f.size() >= 10 && f[1] == "00"_L1 && f[9] != "lo"_L1 && !isTun(f[9]) &&
                f[0] == QString(32, u'0'))
                routes << u"6 "_s + f[9] + u' ' + f[4];
        }
    }
    routes.sort();
    return routes.join(u'\n');
}
