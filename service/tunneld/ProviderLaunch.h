#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <optional>
#include <sys/types.h>
#include <vector>

class QProcess;

// How one provider process is started: which program, as whom, with what.
struct ProviderLaunch {
    // Whom a provider of the system service runs as: the profile's owner,
    // keeping only the network capabilities the tunnel engine needs.
    struct Credentials {
        uid_t uid = 0;
        gid_t gid = 0;
        std::vector<gid_t> groups;
    };

    QString program;
    QStringList arguments;
    QProcessEnvironment environment;
    QString workingDirectory;
    std::optional<Credentials> credentials;

    // The provider for `bundleIdentifier`, or empty with the reason in `error`.
    // "dev.morvel.vpn.sysext" is halvoran-tunnel: $HALVORAN_TUNNEL_PROVIDER
    // when set, else the one beside this program, else the installed one.
    static QString providerProgram(const QString& bundleIdentifier, QString* error);

    // A launch that runs `program` as `uid` (system mode): credentials and
    // environment from the user database, with a fixed PATH and nothing of
    // the service's own environment. Empty with the reason when the user is
    // unknown.
    static std::optional<ProviderLaunch> asUser(const QString& program, uid_t uid, QString* error);
    // A launch that runs `program` as this process's user, with its environment.
    static ProviderLaunch asSelf(const QString& program);

    // Applies the launch to `process`. In the child, before the program runs:
    // no descriptor of the service's but 0-2, a process group of its own, the
    // owner's credentials with only CAP_NET_ADMIN and CAP_NET_BIND_SERVICE
    // (ambient, and all the bounding set keeps), no new privileges, and
    // SIGTERM when the service dies. A child that cannot get there exits 127
    // without running the program.
    void applyTo(QProcess& process) const;
};
