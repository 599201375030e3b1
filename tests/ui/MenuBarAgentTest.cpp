#include "app/shell/MenuBarAgent.h"

#include "tests/app/ControllerFixture.h"

#include <QMenu>
#include <QSystemTrayIcon>

using namespace Qt::StringLiterals;

namespace {

// The menu as a person reads it: each item's title, "-" for a separator,
// "(off)" after an item that cannot be chosen, and its shortcut.
QStringList describe(const QMenu* menu) {
    QStringList items;
    for (const QAction* action : menu->actions()) {
        if (action->isSeparator()) {
            items << u"-"_s;
            continue;
        }
        QString item = action->text();
        if (!action->isEnabled())
            item += u" (off)"_s;
        if (!action->shortcut().isEmpty())
            item += u" ["_s + action->shortcut().toString() + u']';
        items << item;
    }
    return items;
}

class MenuBarAgentTest : public ControllerFixture {};

} // namespace

// The agent rebuilds on the event loop's next turn after each change, so it
// reads the new state, and only the current menu is shown.
TEST_F(MenuBarAgentTest, IconAndMenuFollowTheState) {
    storeSubscription();
    launch();
    extensions.finish();
    int opened = 0;
    MenuBarAgent agent(*controller, [&] { ++opened; });
    settle();
    ASSERT_EQ(controller->state().kind(), Kind::idle);
    EXPECT_EQ(agent.iconName(), u"lock.open"_s);
    EXPECT_EQ(agent.statusItem().toolTip(), u"VPN"_s);
    EXPECT_EQ(describe(agent.menu()),
              (QStringList{u"Disconnected (off)"_s, u"-"_s, u"Connect [Ctrl+K]"_s, u"-"_s,
                           u"Open VPN… [Ctrl+O]"_s, u"Quit [Ctrl+Q]"_s}));
    EXPECT_EQ(agent.statusItem().contextMenu(), agent.menu());

    profiles.addSavedProfile(savedProfile(), VpnStatus::connecting);
    controller.reset();
    launch();
    MenuBarAgent connecting(*controller, [&] { ++opened; });
    extensions.finish();
    settle();
    settle();
    ASSERT_EQ(controller->state().kind(), Kind::connecting);
    EXPECT_EQ(connecting.iconName(), u"lock.rotation"_s);
    EXPECT_EQ(describe(connecting.menu()).mid(0, 3),
              (QStringList{u"Connecting… (off)"_s, u"-"_s, u"Connecting… (off)"_s}));

    profiles.setStatus(VpnStatus::connected);
    settle();
    EXPECT_EQ(connecting.iconName(), u"lock.fill"_s);
    EXPECT_TRUE(connecting.menu()->actions().first()->text().startsWith(u"Connected"_s));
    EXPECT_EQ(describe(connecting.menu()).at(2), u"Disconnect [Ctrl+K]"_s);

    connecting.menu()->actions().at(4)->trigger();
    EXPECT_EQ(opened, 1);
}

// An error's text comes from far away: it stays on one line, and an "&" in
// it is shown as such rather than taken for a keyboard mnemonic.
TEST_F(MenuBarAgentTest, ErrorHeaderIsOneLineOfPlainText) {
    storeSubscription();
    launch();
    extensions.finish();
    settle();
    MenuBarAgent agent(*controller, [] {});
    profiles.failNext(Call::start, PlatformError(u"VPN"_s, 5, u"R&D\nrefused"_s));
    run(controller->connect());
    settle();
    ASSERT_EQ(controller->state().kind(), Kind::error);
    EXPECT_EQ(agent.iconName(), u"exclamationmark.triangle.fill"_s);
    EXPECT_EQ(agent.menu()->actions().first()->text(), u"Error: R&&D\\nrefused"_s);
    EXPECT_EQ(describe(agent.menu()).at(2), u"Connect [Ctrl+K]"_s);
}
