# Precompiled headers: the Qt, QCoro and standard headers nearly every file
# of ours includes, parsed once per group of targets instead of once per file
# (-DCMAKE_DISABLE_PRECOMPILE_HEADERS=ON turns them off). Only third-party
# headers: ours change often, and every file must still compile with the
# includes it names itself (the platform boundary check compiles without
# these and sees to that).
#
# A target reuses another's precompiled header (REUSE_FROM) rather than make
# its own, which pays only where the flags match: all our code is
# position-independent (Qt asks for it), so the program's and the library's
# code share the one made here for halvoran_pch, the tests share halvoran_test_support's (with
# GoogleTest's header), and the window's module, whose generated files need
# the QML engine's headers, has its own. The few targets that libsecret's
# flags reach (-pthread, so _REENTRANT) could not use it and go without.
# Not with ccache: a file that uses a precompiled header is cached against
# the header's binary, which differs each time it is made, so a fresh build
# directory would miss the cache for nearly every file.
if(CMAKE_CXX_COMPILER_LAUNCHER MATCHES "ccache")
  set(CMAKE_DISABLE_PRECOMPILE_HEADERS ON)
endif()

set(halvoran_pch_core
  <QByteArray> <QDateTime> <QDir> <QFile> <QFileInfo> <QHash> <QJsonArray> <QJsonDocument>
  <QJsonObject> <QList> <QLoggingCategory> <QObject> <QPointer> <QString> <QStringList>
  <QTimer> <QUrl> <QVariant>
  <chrono> <functional> <memory> <optional>)
set(halvoran_pch_tests ${halvoran_pch_core} <gtest/gtest.h>)
set(halvoran_pch_quick ${halvoran_pch_core}
  <QtQml/qqmlprivate.h> <QtQml/qjsengine.h> <QtQml/qjsvalue.h> <QtQml/qqmlcomponent.h>
  <QtQml/qqmlcontext.h> <QtQml/qqmlengine.h> <QQuickItem>)

# The owner of the shared one: a target of no code of its own, defined before
# every directory that reuses it.
file(WRITE ${CMAKE_BINARY_DIR}/halvoran_pch.cpp "")
add_library(halvoran_pch OBJECT ${CMAKE_BINARY_DIR}/halvoran_pch.cpp)
set_target_properties(halvoran_pch PROPERTIES POSITION_INDEPENDENT_CODE ON AUTOMOC OFF)
target_link_libraries(halvoran_pch PRIVATE halvoran_options Qt6::Core)
target_precompile_headers(halvoran_pch PRIVATE ${halvoran_pch_core})
