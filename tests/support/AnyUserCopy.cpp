#include "tests/support/AnyUserCopy.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

constexpr QFile::Permissions anyoneRuns = QFile::ReadOwner | QFile::WriteOwner |
                                          QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup |
                                          QFile::ReadOther | QFile::ExeOther;

} // namespace

QString copyForAnyUser(const QString& file) {
    // Not under $TMPDIR, which may itself be private.
    static QTemporaryDir folder(u"/tmp/halvoran-any-user-XXXXXX"_s);
    static const bool open = folder.isValid() && QFile::setPermissions(folder.path(), anyoneRuns);
    if (!open) {
        ADD_FAILURE() << "no folder under /tmp for copies any user can run";
        return {};
    }
    const QString copy = folder.filePath(QFileInfo(file).fileName());
    if (QFileInfo::exists(copy))
        return copy;
    if (!QFile::copy(file, copy) || !QFile::setPermissions(copy, anyoneRuns)) {
        ADD_FAILURE() << "cannot copy " << file.toStdString() << " to " << copy.toStdString();
        return {};
    }
    return copy;
}
