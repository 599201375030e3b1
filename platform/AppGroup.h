#pragma once

#include <QString>

#include <optional>

// Where the app and the tunnel process meet on disk. Both run as the same user
// and find the group's two directories by its name; neither directory is ever
// readable by anyone else, since the settings hold the subscription token.
namespace AppGroup {

// The directory of the group's settings suite, created owner-only if missing.
// Empty, with `error` saying which path failed and why, when it cannot be used.
QString suiteDirectory(const QString& group, QString* error);

// The group's shared container directory, created owner-only if missing.
// Absent when the platform gives no place for it or it cannot be created.
std::optional<QString> containerDirectory(const QString& group);

// Creates `path` (and missing parents) owner-only, or tightens an existing
// directory to owner-only. A symbolic link in its place is refused, never
// followed: someone else's directory must not be changed through it. False,
// with `error` saying which path failed and why, when it cannot be done.
bool makePrivateDirectory(const QString& path, QString* error);

} // namespace AppGroup
