// Entry point of every test program: a Qt application object and private,
// empty settings, data and system configuration directories, so tests never
// touch the user's own or the machine's. Programs that drive the tray menu
// or the shell get a widgets application (HALVORAN_TEST_WIDGETS).
#include <QTemporaryDir>

#ifdef HALVORAN_TEST_WIDGETS
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QTemporaryDir home;
    if (!home.isValid())
        return 2;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(home.filePath(QStringLiteral("etc-xdg"))));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(QStringLiteral("data"))));
    TestApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    // Death tests start a fresh copy of the program, so no thread or handle of
    // this one leaks into them.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
