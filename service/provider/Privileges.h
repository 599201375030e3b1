#pragma once

#include "service/provider/EffectiveConfig.h"

#include <QString>

// What the provider may do, and what it hands on to the engine it starts.
// The tunnel service starts it as the user; in system mode with only the two
// network capabilities as ambient ones, which pass through to the engine.
namespace Privileges {

// Keeps nothing but what the mode needs: no ambient capability in session
// mode, only CAP_NET_ADMIN and CAP_NET_BIND_SERVICE in system mode, and no
// way for the engine or anything it starts to gain more (no_new_privs).
// Empty on success, else why the provider must not go on.
QString restrict(EffectiveConfig::TunnelMode mode);

// Empty when `directory` is a directory of the user the provider runs as
// (not a symbolic link), else why it must not be used: a provider started
// with someone else's settings must not read or write them.
QString checkOwnDirectory(const QString& directory);

// Empty when `program` may be given network privileges: it, the file it
// resolves to and their folders belong to root and nobody else may change
// them. Otherwise whoever could replace it would run their own code with
// those privileges.
QString checkTrustedProgram(const QString& program);

} // namespace Privileges
