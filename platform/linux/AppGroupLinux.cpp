#include "platform/AppGroup.h"

#include <QFile>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString describeErrno(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}

// mkdir -p with owner-only permissions for whatever it creates. 0 or an errno.
int makeDirectories(const QByteArray& path) {
    if (::mkdir(path.constData(), 0700) == 0 || errno == EEXIST)
        return 0;
    if (errno != ENOENT)
        return errno;
    const qsizetype slash = path.lastIndexOf('/');
    if (slash <= 0)
        return ENOENT;
    if (const int failure = makeDirectories(path.first(slash)))
        return failure;
    return ::mkdir(path.constData(), 0700) == 0 || errno == EEXIST ? 0 : errno;
}

QString groupDirectory(QStandardPaths::StandardLocation base, const QString& group) {
    const QString root = QStandardPaths::writableLocation(base);
    return root.isEmpty() ? QString() : root + u'/' + group;
}

} // namespace

namespace AppGroup {

bool makePrivateDirectory(const QString& path, QString* error) {
    const QByteArray native = QFile::encodeName(path);
    int failure = makeDirectories(native);
    // Opened without following a link, then tightened through the descriptor,
    // so the mode change lands on the very directory that was checked.
    const int fd =
        failure ? -1 : ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (!failure && fd < 0)
        failure = errno == ELOOP ? ENOTDIR : errno;
    struct stat info {};
    if (fd >= 0 && ::fstat(fd, &info) != 0)
        failure = errno;
    if (fd >= 0 && !failure && (info.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0)
        failure = errno;
    if (fd >= 0)
        ::close(fd);
    if (failure && error)
        *error = path + u": " + describeErrno(failure);
    return !failure;
}

QString suiteDirectory(const QString& group, QString* error) {
    const QString dir = groupDirectory(QStandardPaths::GenericConfigLocation, group);
    if (dir.isEmpty()) {
        *error = u"no configuration directory (neither XDG_CONFIG_HOME nor HOME is usable)"_s;
        return {};
    }
    return makePrivateDirectory(dir, error) ? dir : QString();
}

std::optional<QString> containerDirectory(const QString& group) {
    const QString dir = groupDirectory(QStandardPaths::GenericDataLocation, group);
    QString ignored;
    if (dir.isEmpty() || !makePrivateDirectory(dir, &ignored))
        return std::nullopt;
    return dir;
}

} // namespace AppGroup
