#pragma once

#include <QString>

// A copy of `file` that any user can read and run, for what a test runs as a
// second, unprivileged uid: the checkout, and the build tree in it, may lie
// in a folder only its owner can enter. All copies of a test program share
// one folder under /tmp (0755), made on first use and removed when the
// program ends, so a program copied beside a library it finds through
// $ORIGIN loads that copy. Fails the current test and returns an empty path
// when the copy cannot be made.
QString copyForAnyUser(const QString& file);
