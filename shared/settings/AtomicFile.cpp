#include "shared/settings/AtomicFile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace AtomicFile {

bool write(const QString& path, const QByteArray& data, QString* error) {
    const auto fail = [&](const QString& what) {
        if (error)
            *error = what + u": " + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    };
    const QFileInfo target(path);
    QByteArray temp =
        QFile::encodeName(target.absolutePath() + u"/." + target.fileName()) + ".XXXXXX";
    // mkstemp creates the file 0600 and with a name nobody else holds.
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return fail(path);
    qsizetype written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + written, size_t(data.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += n;
    }
    const bool complete = written == data.size() && ::fsync(fd) == 0;
    const int savedErrno = errno;
    if (::close(fd) != 0 || !complete ||
        ::rename(temp.constData(), QFile::encodeName(path).constData()) != 0) {
        const int cause = complete ? errno : savedErrno;
        ::unlink(temp.constData());
        errno = cause;
        return fail(path);
    }
    return true;
}

} // namespace AtomicFile
