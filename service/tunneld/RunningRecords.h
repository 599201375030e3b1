#pragma once

#include <QString>

#include <sys/types.h>

// Which provider process groups the service started, kept on disk
// (<dir>/<name>: "<pgid> <start time>") while they run, so that a service
// that crashed can kill what it left behind when it starts again.
class RunningRecords {
public:
    explicit RunningRecords(QString dir);

    void add(const QString& name, pid_t group);
    void remove(const QString& name);
    // Kills every recorded group that still runs and forgets all records.
    // Returns how many groups it killed.
    int reconcile();

    // The start time of `pid` in clock ticks since boot, 0 when it is gone.
    static quint64 startTime(pid_t pid);

private:
    QString m_dir;
};
