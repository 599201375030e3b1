#pragma once

#include "service/provider/EffectiveConfig.h"

#include <QString>

// The user's shared settings and container as the provider sees them: what
// the engine's configuration is built from, and the two keys the provider
// keeps for its diagnostics. The provider runs as the user, so every file is
// read and written with the user's own rights.
namespace UserStore {

// Everything the configuration is built from. Throws EffectiveConfig::BuildError
// with a reason the user can act on.
EffectiveConfig::Inputs read(EffectiveConfig::TunnelMode mode, quint16 proxyPort);

// Nothing is written to a store that is not the user's own.
void recordDiagnostics(const QString& text);
void recordBoundInterface(const QString& name);

} // namespace UserStore
