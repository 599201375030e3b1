#include "service/tunneld/RunningRecords.h"

#include "service/tunneld/ServiceLog.h"
#include "shared/settings/AtomicFile.h"

#include <QDir>
#include <QFile>

#include <signal.h>

using namespace Qt::StringLiterals;

namespace {

struct ProcStat {
    pid_t group = 0;
    quint64 start = 0;
};

// Fields 5 (process group) and 22 (start time) of /proc/<pid>/stat; the
// command name before them may hold spaces, so counting starts after its ')'.
std::optional<ProcStat> procStat(pid_t pid) {
    QFile file(u"/proc/"_s + QString::number(pid) + u"/stat"_s);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray text = file.readAll();
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    // fields[0] is field 3 (state).
    if (fields.size() < 20)
        return std::nullopt;
    return ProcStat{pid_t(fields[2].toInt()), fields[19].toULongLong()};
}

} // namespace

RunningRecords::RunningRecords(QString dir)
    : m_dir(std::move(dir)) {
    QDir().mkpath(m_dir);
}

quint64 RunningRecords::startTime(pid_t pid) {
    const std::optional<ProcStat> stat = procStat(pid);
    return stat ? stat->start : 0;
}

void RunningRecords::add(const QString& name, pid_t group) {
    const QByteArray line = QByteArray::number(group) + ' ' + QByteArray::number(startTime(group));
    QString error;
    if (!AtomicFile::write(m_dir + u'/' + name, line, &error))
        qCCritical(ServiceLog::tunneld, "cannot record provider group %d: %s", int(group),
                   qUtf8Printable(error));
}

void RunningRecords::remove(const QString& name) {
    QFile::remove(m_dir + u'/' + name);
}

int RunningRecords::reconcile() {
    int killed = 0;
    const QDir dir(m_dir);
    for (const QString& name : dir.entryList(QDir::Files)) {
        QFile file(dir.filePath(name));
        const QList<QByteArray> fields = file.open(QIODevice::ReadOnly)
                                             ? file.readAll().trimmed().split(' ')
                                             : QList<QByteArray>();
        file.close();
        QFile::remove(dir.filePath(name));
        const pid_t group = fields.size() == 2 ? pid_t(fields[0].toInt()) : 0;
        const quint64 start = fields.size() == 2 ? fields[1].toULongLong() : 0;
        if (group <= 1)
            continue;
        // The leader still runs, or is gone and left members behind: either
        // way the group is ours. A leader with another start time means the
        // number was reused by a stranger's group, which is left alone.
        const std::optional<ProcStat> leader = procStat(group);
        if (leader && (leader->start != start || leader->group != group))
            continue;
        if (::kill(-group, SIGKILL) == 0) {
            ++killed;
            qCInfo(ServiceLog::tunneld, "killed provider group %d left by an earlier run",
                   int(group));
        }
    }
    return killed;
}
