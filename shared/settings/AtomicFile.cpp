#include "shared/settings/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace AtomicFile {

namespace {

constexpr int randomSuffixLength = 6; // mkstemp's XXXXXX

void syncDirectory(const QByteArray& directory) {
    const int fd = ::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// A writer holds a lock on its temporary file until the file has its final
// name, so a temporary file nobody holds belongs to a write that was killed.
void removeAbandoned(const QString& directory, const QString& prefix) {
    // Compared as text, not as a pattern: the name may hold pattern characters.
    const QStringList names = QDir(directory).entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        if (name.size() != prefix.size() + randomSuffixLength || !name.startsWith(prefix))
            continue;
        const QByteArray path = QFile::encodeName(directory + u'/' + name);
        const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat info {};
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlink(path.constData());
        ::close(fd);
    }
}

} // namespace

bool write(const QString& path, const QByteArray& data, QString* error) {
    const auto fail = [&](const QString& what) {
        if (error)
            *error = what + u": " + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    };
    const QFileInfo target(path);
    const QString prefix = u'.' + target.fileName() + u'.';
    removeAbandoned(target.absolutePath(), prefix);
    QByteArray temp = QFile::encodeName(target.absolutePath() + u'/' + prefix) + "XXXXXX";
    // mkstemp creates the file 0600 and with a name nobody else holds.
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return fail(path);
    ::flock(fd, LOCK_EX);
    qsizetype written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + written, size_t(data.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += n;
    }
    bool done = written == data.size() && ::fsync(fd) == 0;
    // Renamed while still locked: once unlocked under its temporary name, a
    // concurrent write of the same path would take it for abandoned.
    done = done && ::rename(temp.constData(), QFile::encodeName(path).constData()) == 0;
    const int cause = errno;
    if (!done)
        ::unlink(temp.constData());
    ::close(fd);
    if (!done) {
        errno = cause;
        return fail(path);
    }
    syncDirectory(QFile::encodeName(target.absolutePath()));
    return true;
}

bool replace(const QString& from, const QString& to) {
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        return false;
    syncDirectory(QFile::encodeName(QFileInfo(to).absolutePath()));
    return true;
}

} // namespace AtomicFile
