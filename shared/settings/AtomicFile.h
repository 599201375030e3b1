#pragma once

#include <QByteArray>
#include <QString>

// Writes files that readers in another process see either whole or not at all.
namespace AtomicFile {

// Writes `data` to `path` through a temporary file beside it that is flushed to
// disk and then renamed over `path`. The new file is owner-only. On failure the
// previous file is untouched, no temporary file is left behind, and `error`
// (when given) says what failed.
bool write(const QString& path, const QByteArray& data, QString* error = nullptr);

} // namespace AtomicFile
