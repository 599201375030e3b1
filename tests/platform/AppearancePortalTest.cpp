// The colour scheme from a stand-in desktop portal (python3-dbusmock) on the
// test's private session bus, answering as the real portal's protocol does.
#include "platform/linux/AppearancePortal.h"

#include "tests/support/Async.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QProcess>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using Scheme = Desktop::ColorScheme;

namespace {

const QString portalName = u"org.freedesktop.portal.Desktop"_s;
const QString portalPath = u"/org/freedesktop/portal/desktop"_s;
const QString settings = u"org.freedesktop.portal.Settings"_s;

class AppearancePortalTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The system's Python: python3-dbusmock is installed for it.
        portal.start(u"/usr/bin/python3"_s,
                     {u"-m"_s, u"dbusmock"_s, portalName, portalPath, settings});
        ASSERT_TRUE(Async::waitUntil([&] { return registered(); }));
    }
    void TearDown() override {
        portal.kill();
        portal.waitForFinished();
    }
    bool registered() const { return bus.interface()->isServiceRegistered(portalName); }
    // dbusmock's own interface: Reset, AddMethod (answering with Python), EmitSignal.
    void mock(const QString& method, const QVariantList& arguments = {}) {
        QDBusMessage call = QDBusMessage::createMethodCall(portalName, portalPath,
                                                           u"org.freedesktop.DBus.Mock"_s, method);
        call.setArguments(arguments);
        ASSERT_EQ(bus.call(call).type(), QDBusMessage::ReplyMessage) << method.toStdString();
    }
    void answer(const QString& method, const QString& value) {
        mock(u"AddMethod"_s, {settings, method, u"ss"_s, u"v"_s, QString(u"ret = "_s + value)});
    }
    void announce(const QString& key, uint value) {
        mock(u"EmitSignal"_s, {settings, u"SettingChanged"_s, u"ssv"_s,
                               QVariantList{u"org.freedesktop.appearance"_s, key,
                                            QVariant::fromValue(QDBusVariant(value))}});
    }

    QDBusConnection bus = QDBusConnection::sessionBus();
    QProcess portal;
};

TEST_F(AppearancePortalTest, ReadsTheSchemeFromEitherMethod) {
    const struct {
        const char* method;
        const char* value;
        Scheme scheme;
    } rows[] = {
        {"ReadOne", "dbus.UInt32(1)", Scheme::dark},
        {"ReadOne", "dbus.UInt32(2)", Scheme::light},
        {"ReadOne", "dbus.UInt32(0)", Scheme::noPreference},
        // Older portals: Read only, the value wrapped once more.
        {"Read", "dbus.UInt32(1, variant_level=1)", Scheme::dark},
        {"Neither", "0", Scheme::noPreference},
    };
    for (const auto& row : rows) {
        mock(u"Reset"_s);
        answer(QString::fromLatin1(row.method), QString::fromLatin1(row.value));
        EXPECT_EQ(AppearancePortal(bus).colorScheme(), row.scheme) << row.method << row.value;
    }
}

TEST_F(AppearancePortalTest, FollowsTheUsersChangesOfTheSchemeOnly) {
    answer(u"ReadOne"_s, u"dbus.UInt32(2)"_s);
    AppearancePortal appearance(bus);
    QList<Scheme> heard;
    appearance.watch([&](Scheme scheme) { heard << scheme; });
    announce(u"contrast"_s, 1);
    announce(u"color-scheme"_s, 1);
    announce(u"color-scheme"_s, 0);
    ASSERT_TRUE(Async::waitUntil([&] { return heard.size() == 2; }));
    EXPECT_EQ(heard, (QList{Scheme::dark, Scheme::noPreference}));
    EXPECT_EQ(appearance.colorScheme(), Scheme::noPreference);
}

// A portal that does not answer in time, or none at all: no preference.
TEST_F(AppearancePortalTest, AnUnansweringOrMissingPortalLeavesNoPreference) {
    answer(u"ReadOne"_s, u"__import__('time').sleep(1) or dbus.UInt32(1)"_s);
    EXPECT_EQ(AppearancePortal(bus, std::chrono::milliseconds(100)).colorScheme(),
              Scheme::noPreference);
    TearDown();
    ASSERT_TRUE(
        Async::waitUntil([&] { return !bus.interface()->isServiceRegistered(portalName); }));
    EXPECT_EQ(AppearancePortal(bus).colorScheme(), Scheme::noPreference);
}

} // namespace
