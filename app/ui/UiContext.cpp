#include "app/ui/UiContext.h"

#include "app/core/UpdateChecker.h"
#include "app/ui/AccessibleItems.h"
#include "app/ui/Presentation.h"
#include "app/ui/SchemePalette.h"
#include "app/ui/SymbolIcons.h"
#include "app/ui/TunnelAdapter.h"
#include "platform/Desktop.h"
#include "platform/PlatformTexts.h"
#include "shared/log/Log.h"
#include "shared/settings/SharedDefaults.h"

#include <QJSEngine>
#include <QPointer>
#include <QQmlApplicationEngine>

namespace {
QPointer<UiContext> current;
} // namespace

UiContext::UiContext(TunnelAdapter& tunnel, UpdateChecker& updates, Desktop& desktop,
                     QObject* parent)
    : QObject(parent)
    , m_tunnel(tunnel)
    , m_updates(updates)
    , m_desktop(desktop)
    , m_palette(std::make_unique<SchemePalette>(desktop)) {
    current = this;
}

UiContext::~UiContext() = default;

UiContext* UiContext::create(QQmlEngine*, QJSEngine*) {
    // Owned by the program, not by the engine that asks.
    QJSEngine::setObjectOwnership(current, QJSEngine::CppOwnership);
    return current;
}

void UiContext::loadWindow(QQmlApplicationEngine& engine) {
    using namespace Qt::StringLiterals;
    AccessibleItems::install();
    engine.addImageProvider(u"symbol"_s, new SymbolIcons::Provider);
    // Importing the module by name registers its C++ types before the
    // window's files, which reach them through their own directory.
    engine.addImportPath(u"qrc:/"_s);
    engine.loadData("import Halvoran.Ui\nMainWindow {}\n", QUrl(u"qrc:/Halvoran/main.qml"_s));
}

QString UiContext::appVersion() const {
    return Presentation::appVersionString();
}

QString UiContext::helpPageURL() const {
    return Presentation::helpPageURL();
}

QString UiContext::helpLinkLabel() const {
    return Presentation::helpLinkLabel();
}

QString UiContext::approvalSubtitle() const {
    return PlatformTexts::approvalSubtitle();
}

QStringList UiContext::approvalSteps() const {
    return PlatformTexts::approvalSteps();
}

QString UiContext::approvalButton() const {
    return PlatformTexts::approvalButtonTitle();
}

QString UiContext::signOutMessage() const {
    return PlatformTexts::signOutMessage();
}

bool UiContext::startAtLogin() const {
    return SharedDefaults::startAtLogin().value_or(m_desktop.startsAtLogin());
}

void UiContext::setStartAtLogin(bool enabled) {
    if (enabled == startAtLogin() && SharedDefaults::startAtLogin())
        return;
    SharedDefaults::setStartAtLogin(enabled);
    if (!m_desktop.setStartAtLogin(enabled))
        qCCritical(Log::tunnel, "could not change whether Halvoran starts at login");
    Q_EMIT startAtLoginChanged();
}

void UiContext::copyText(const QString& text) {
    m_desktop.copyToClipboard(text);
}

bool UiContext::openUrl(const QString& url) {
    return m_desktop.openUrl(QUrl(url));
}

QString UiContext::unbrokenQuotes(const QString& message) const {
    return Presentation::unbrokenQuotes(message);
}
