#include "service/provider/Privileges.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace Privileges {

namespace {

// A capability set of this process from /proc/self/status ("CapAmb", "CapEff").
quint64 capabilitySet(const QByteArray& name) {
    QFile status(u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray prefix = name + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().toULongLong(nullptr, 16);
    }
    return 0;
}

constexpr quint64 bit(int capability) {
    return quint64(1) << capability;
}

} // namespace

QString restrict(EffectiveConfig::TunnelMode mode) {
    const bool system = mode == EffectiveConfig::TunnelMode::system;
    if (system && ::geteuid() == 0)
        return u"halvoran-tunnel must not run as root in system mode: the tunnel service starts it "
               "as the user, with the network capabilities only"_s;
    // Set before anything else is started: from here on no setuid program or
    // file capability can raise what the provider or the engine may do.
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return u"cannot restrict the provider's privileges: "_s +
               QString::fromLocal8Bit(std::strerror(errno));
    const quint64 keep = system ? bit(CAP_NET_ADMIN) | bit(CAP_NET_BIND_SERVICE) : 0;
    const quint64 ambient = capabilitySet("CapAmb");
    for (int capability = 0; capability < 64; ++capability) {
        if ((ambient & bit(capability)) && !(keep & bit(capability)))
            ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_LOWER, capability, 0, 0);
    }
    if (system && !(capabilitySet("CapAmb") & bit(CAP_NET_ADMIN)))
        return u"the tunnel needs the CAP_NET_ADMIN capability to create its network interface: "
               "start it through the Halvoran tunnel service"_s;
    return {};
}

QString checkOwnDirectory(const QString& directory) {
    struct stat info {};
    if (::lstat(QFile::encodeName(directory).constData(), &info) != 0)
        return directory + u": " + QString::fromLocal8Bit(std::strerror(errno));
    if (!S_ISDIR(info.st_mode))
        return directory + u" is not a directory";
    if (info.st_uid != ::geteuid())
        return directory + u" belongs to another user";
    return {};
}

QString checkTrustedProgram(const QString& program) {
    const QString resolved = QFileInfo(program).canonicalFilePath();
    if (resolved.isEmpty())
        return program + u" cannot be resolved"_s;
    for (const QString& path :
         {QFileInfo(program).absolutePath(), resolved, QFileInfo(resolved).absolutePath()}) {
        struct stat info {};
        if (::stat(QFile::encodeName(path).constData(), &info) != 0)
            return path + u": " + QString::fromLocal8Bit(std::strerror(errno));
        if (info.st_uid != 0 || (info.st_mode & (S_IWGRP | S_IWOTH)))
            return path + u" may be changed by someone other than root"_s;
    }
    return {};
}

} // namespace Privileges
