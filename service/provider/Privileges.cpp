#include "service/provider/Privileges.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <fcntl.h>
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

QString systemError(const QByteArray& path) {
    return QFile::decodeName(path) + u": " + QString::fromLocal8Bit(std::strerror(errno));
}

// Nobody but root may change it: owned by root, not writable by its group or
// by others (sticky or not).
bool rootOnly(const struct stat& info) {
    return info.st_uid == 0 && !(info.st_mode & (S_IWGRP | S_IWOTH));
}

// The names of `path` that lead somewhere ("" and "." do not).
std::deque<QByteArray> components(const QByteArray& path) {
    std::deque<QByteArray> names;
    for (const QByteArray& name : path.split('/')) {
        if (!name.isEmpty() && name != ".")
            names.push_back(name);
    }
    return names;
}

Descriptor openRoot() {
    return Descriptor(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// Each name is opened relative to the folder before it, without following
// links (O_NOFOLLOW): a link is read and its target walked the same way. A
// folder is trusted before anything in it is opened, so nothing already
// checked can be swapped behind the walk.
Descriptor openTrusted(const QByteArray& path, QString* problem) {
    if (!path.startsWith('/')) {
        *problem = QFile::decodeName(path) + u" is not an absolute path"_s;
        return {};
    }
    Descriptor folder = openRoot();
    QByteArray where = "/";
    struct stat info {};
    if (!folder.isValid() || ::fstat(folder.get(), &info) != 0) {
        *problem = systemError(where);
        return {};
    }
    if (!rootOnly(info)) {
        *problem = u"/ may be changed by someone other than root"_s;
        return {};
    }
    std::deque<QByteArray> pending = components(path);
    int links = 0;
    while (!pending.empty()) {
        const QByteArray name = pending.front();
        pending.pop_front();
        const QByteArray here = (where.endsWith('/') ? where : where + '/') + name;
        Descriptor node(::openat(folder.get(), name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!node.isValid() || ::fstat(node.get(), &info) != 0) {
            *problem = systemError(here);
            return {};
        }
        if (S_ISLNK(info.st_mode)) {
            // A link's own mode means nothing; its owner may replace it in a
            // sticky folder.
            if (info.st_uid != 0) {
                *problem = QFile::decodeName(here) + u" is a link of someone other than root"_s;
                return {};
            }
            char target[PATH_MAX];
            const ssize_t length = ::readlinkat(node.get(), "", target, sizeof target);
            if (length <= 0 || size_t(length) >= sizeof target || ++links > 40) {
                *problem = QFile::decodeName(here) + u" is a link that cannot be followed"_s;
                return {};
            }
            const QByteArray to(target, length);
            std::deque<QByteArray> next = components(to);
            pending.insert(pending.begin(), next.begin(), next.end());
            if (to.startsWith('/')) {
                folder = openRoot();
                where = "/";
            }
            continue;
        }
        if (!rootOnly(info)) {
            *problem = QFile::decodeName(here) + u" may be changed by someone other than root"_s;
            return {};
        }
        if (S_ISDIR(info.st_mode)) {
            folder = std::move(node);
            where = here;
            continue;
        }
        if (!pending.empty() || !S_ISREG(info.st_mode) ||
            !(info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH))) {
            *problem = QFile::decodeName(here) + u" is not an executable file"_s;
            return {};
        }
        // The very file checked, opened for reading (an interpreter reads a
        // script through it).
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(node.get());
        Descriptor program(::open(self.constData(), O_RDONLY | O_CLOEXEC));
        if (!program.isValid())
            *problem = systemError(here);
        return program;
    }
    *problem = QFile::decodeName(path) + u" is not an executable file"_s;
    return {};
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

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

Descriptor::~Descriptor() {
    if (m_fd >= 0)
        ::close(m_fd);
}

Descriptor openProgram(const QString& program, bool trusted, QString* problem) {
    const QByteArray path = QFile::encodeName(program);
    if (trusted)
        return openTrusted(path, problem);
    Descriptor file(::open(path.constData(), O_RDONLY | O_CLOEXEC));
    if (!file.isValid())
        *problem = systemError(path);
    return file;
}

} // namespace Privileges
