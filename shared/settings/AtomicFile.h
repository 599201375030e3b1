#pragma once

#include <QByteArray>
#include <QString>

// Writes files that readers in another process see either whole or not at all.
namespace AtomicFile {

// Writes `data` to `path` through a temporary file beside it (".<name>.XXXXXX")
// that is flushed to disk and then renamed over `path`; the directory is then
// flushed too, so the new file survives a power cut. The new file is
// owner-only. On failure the previous file is untouched, no temporary file is
// left behind, and `error` (when given) says what failed. Temporary files of
// earlier writes of the same path that were killed midway are removed.
bool write(const QString& path, const QByteArray& data, QString* error = nullptr);

// Renames `from` over `to` and flushes their directory. False when the rename fails.
bool replace(const QString& from, const QString& to);

} // namespace AtomicFile
