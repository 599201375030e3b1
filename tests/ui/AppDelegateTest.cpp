#include "app/core/UpdateChecker.h"
#include "app/shell/AppDelegate.h"
#include "app/shell/MenuBarAgent.h"
#include "app/ui/TunnelAdapter.h"
#include "app/ui/UiContext.h"
#include "platform/fake/FakeDesktop.h"
#include "tests/app/ControllerFixture.h"

#include <QGuiApplication>
#include <QQuickWindow>
#include <QSystemTrayIcon>
#include <QtQml/QQmlExtensionPlugin>

Q_IMPORT_QML_PLUGIN(Halvoran_UiPlugin)

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// What the user has in hand at one moment: the window on screen, the tray
// item, and whether closing the window ends the app.
struct Seen {
    bool window;
    bool tray;
    bool closingQuits;
    friend bool operator==(const Seen&, const Seen&) = default;
    friend void PrintTo(const Seen& s, std::ostream* os) {
        *os << "{window " << s.window << ", tray " << s.tray << ", closing quits "
            << s.closingQuits << "}";
    }
};

enum class Event { start, wait, hostAppears, hostGoes, firstFrame };

struct Step {
    Event event;
    std::chrono::milliseconds wait{0}; // for Event::wait, on the manual clock
    Seen then;
};

struct Case {
    const char* name;
    bool atLogin;
    bool hostAtStart;
    std::vector<Step> steps;
    friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

constexpr Seen nothingYet{false, false, true};
constexpr Seen trayOnly{false, true, false};
constexpr Seen windowOnly{true, false, true};
constexpr Seen windowAndTray{true, true, false};

const std::vector<Case> cases = {
    {"at login with a tray host: the tray item, no window",
     true, true,
     {{Event::start, 0ms, trayOnly}, {Event::wait, 60s, trayOnly}}},
    {"at login, the host 3 s late: the tray item then, and never the window",
     true, false,
     {{Event::start, 0ms, nothingYet},
      {Event::wait, 3s, nothingYet},
      {Event::hostAppears, 0ms, trayOnly},
      {Event::wait, 60s, trayOnly}}},
    {"at login without a host: the window once the grace is over, not before",
     true, false,
     {{Event::start, 0ms, nothingYet},
      {Event::wait, 7999ms, nothingYet},
      {Event::wait, 1ms, windowOnly},
      {Event::firstFrame, 0ms, windowOnly},
      {Event::hostAppears, 0ms, windowAndTray}}},
    {"at login, the host goes: the window is the way in, and closing it quits",
     true, true,
     {{Event::start, 0ms, trayOnly},
      {Event::hostGoes, 0ms, {true, true, true}},
      {Event::hostAppears, 0ms, windowAndTray}}},
    {"started by the user with a host: the window, the tray item after its first frame",
     false, true,
     {{Event::start, 0ms, windowOnly}, {Event::firstFrame, 0ms, windowAndTray}}},
    {"started by the user without a host: the window, closing it quits; a late host gets the item",
     false, false,
     {{Event::start, 0ms, windowOnly},
      {Event::firstFrame, 0ms, windowOnly},
      {Event::wait, 60s, windowOnly},
      {Event::hostAppears, 0ms, windowAndTray}}},
};

class AppDelegateTest : public ControllerFixture, public ::testing::WithParamInterface<Case> {
public:
    ~AppDelegateTest() override {
        delegate.reset();
        context.reset();
        adapter.reset();
        updates.reset();
    }

    void start(bool atLogin) {
        launch();
        updates = std::make_unique<UpdateChecker>(
            [](UpdaterDelegate&) -> std::unique_ptr<Updater> { return nullptr; });
        adapter = std::make_unique<TunnelAdapter>(*controller, desktop, clock);
        context = std::make_unique<UiContext>(*adapter, *updates, desktop);
        delegate = std::make_unique<AppDelegate>(*controller, desktop, clock,
                                                 AppDelegate::Start{atLogin, 8s});
        // Seen before the event loop turns: no frame can have been drawn yet.
    }

    Seen seen() const {
        QQuickWindow* window = delegate->window();
        MenuBarAgent* tray = delegate->menuBar();
        return {window && window->isVisible(), tray && tray->statusItem().isVisible(),
                QGuiApplication::quitOnLastWindowClosed()};
    }

    FakeDesktop desktop;
    std::unique_ptr<UpdateChecker> updates;
    std::unique_ptr<TunnelAdapter> adapter;
    std::unique_ptr<UiContext> context;
    std::unique_ptr<AppDelegate> delegate;
};

} // namespace

TEST_P(AppDelegateTest, WindowAndTrayFollowTheStartAndTheHost) {
    const Case& c = GetParam();
    desktop.trayAvailable = c.hostAtStart;
    int index = 0;
    for (const Step& step : c.steps) {
        switch (step.event) {
        case Event::start:
            start(c.atLogin);
            break;
        case Event::wait:
            clock->advance(step.wait);
            settle();
            break;
        case Event::hostAppears:
            desktop.setTray(true);
            settle();
            break;
        case Event::hostGoes:
            desktop.setTray(false);
            settle();
            break;
        case Event::firstFrame: {
            QQuickWindow* window = delegate->window();
            ASSERT_NE(window, nullptr);
            // The tray item waits for the first frame; a frame is drawn by
            // the display, so this waits for the condition, not for a time.
            bool drawn = false;
            QObject::connect(window, &QQuickWindow::frameSwapped, window, [&] { drawn = true; },
                             Qt::QueuedConnection);
            window->update();
            ASSERT_TRUE(until([&] { return drawn && seen() == step.then; }))
                << c.name << ", step " << index;
            break;
        }
        }
        EXPECT_EQ(seen(), step.then) << c.name << ", after step " << index;
        ++index;
    }
}

INSTANTIATE_TEST_SUITE_P(Starts, AppDelegateTest, ::testing::ValuesIn(cases),
                         [](const ::testing::TestParamInfo<Case>& param) {
                             return "case" + std::to_string(param.index);
                         });
