#include "service/provider/UserStore.h"

#include "platform/AppGroup.h"
#include "service/provider/Privileges.h"
#include "shared/rulesets/RulesetCache.h"
#include "shared/settings/Constants.h"
#include "shared/settings/SharedDefaults.h"

#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace UserStore {

namespace {

[[noreturn]] void refuse(const QString& reason) {
    throw EffectiveConfig::BuildError(reason.toStdString());
}

// The store must be the user's own before anything in it is opened, read or
// written. Empty when it is, else why not.
QString checkDirectories() {
    QString error;
    const QString suite = AppGroup::suiteDirectory(Constants::appGroup, &error);
    if (suite.isEmpty())
        return u"the shared settings are unavailable: "_s + error;
    if (const QString problem = Privileges::checkOwnDirectory(suite); !problem.isEmpty())
        return u"the shared settings are unusable: "_s + problem;
    const std::optional<QString> container = AppGroup::containerDirectory(Constants::appGroup);
    if (!container)
        return u"the shared folder is unavailable"_s;
    if (const QString problem = Privileges::checkOwnDirectory(*container); !problem.isEmpty())
        return u"the shared folder is unusable: "_s + problem;
    return {};
}

} // namespace

EffectiveConfig::Inputs read(EffectiveConfig::TunnelMode mode, quint16 proxyPort) {
    if (const QString problem = checkDirectories(); !problem.isEmpty())
        refuse(problem);
    EffectiveConfig::Inputs inputs;
    std::optional<QByteArray> config = SharedDefaults::loadLastConfig();
    if (!config)
        refuse(u"no configuration has been downloaded yet: open Halvoran and let it refresh the "
               "subscription"_s);
    inputs.lastConfig = std::move(*config);
    inputs.routing = SharedDefaults::routingMode();
    inputs.preferredEdge = SharedDefaults::preferredEdgeTag();
    inputs.mode = mode;
    inputs.proxyPort = proxyPort;
    // A rule-set the app has not downloaded yet is left out rather than
    // handed to the engine, which would refuse to start without its file.
    inputs.rulesetPath = [](const QString& tag) -> std::optional<QString> {
        std::optional<QString> path = RulesetCache::localURL(tag);
        if (!path || !QFileInfo(*path).isFile())
            return std::nullopt;
        return path;
    };
    return inputs;
}

void recordDiagnostics(const QString& text) {
    if (checkDirectories().isEmpty())
        SharedDefaults::setLastExtensionDiag(text);
}

void recordBoundInterface(const QString& name) {
    if (checkDirectories().isEmpty())
        SharedDefaults::setLastBoundInterface(name);
}

} // namespace UserStore
