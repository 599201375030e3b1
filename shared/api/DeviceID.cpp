#include "shared/api/DeviceID.h"

#include "shared/settings/SettingsSuite.h"

#include <QUuid>

using namespace Qt::StringLiterals;

namespace DeviceID {

QString current() {
    SettingsSuite& suite = SettingsSuite::shared();
    const QString key = u"device_id"_s;
    if (std::optional<QString> stored = suite.text(key))
        return *stored;
    // Stored only if no other process got there first; then theirs is ours too.
    const QString created = QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
    return suite.adoptText(key, created).value_or(created);
}

} // namespace DeviceID
