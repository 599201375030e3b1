#pragma once

#include "app/core/UpdateChecker.h"

#include <QObject>
#include <QStringList>

#include <memory>
#include <QtQml/qqmlregistration.h>

class Desktop;
class QJSEngine;
class QQmlApplicationEngine;
class QQmlEngine;
class SchemePalette;
class TunnelAdapter;

// What the window's QML reaches as the singleton `App`: the tunnel, the
// update checker, the desktop's clipboard and browser, and the fixed texts.
// While it lives, the application's palette follows the desktop's scheme.
// The program builds it once, before the window loads, and owns it.
class UiContext final : public QObject {
    Q_OBJECT
    QML_NAMED_ELEMENT(App)
    QML_SINGLETON
    Q_PROPERTY(TunnelAdapter* tunnel READ tunnel CONSTANT)
    Q_PROPERTY(UpdateChecker* updates READ updates CONSTANT)
    Q_PROPERTY(QString appVersion READ appVersion CONSTANT)
    Q_PROPERTY(QString helpPageURL READ helpPageURL CONSTANT)
    Q_PROPERTY(QString helpLinkLabel READ helpLinkLabel CONSTANT)
    Q_PROPERTY(QString approvalSubtitle READ approvalSubtitle CONSTANT)
    Q_PROPERTY(QStringList approvalSteps READ approvalSteps CONSTANT)
    Q_PROPERTY(QString approvalButton READ approvalButton CONSTANT)
    Q_PROPERTY(QString signOutMessage READ signOutMessage CONSTANT)
    // The settings sheet's "Start at login": the user's choice, kept in the
    // shared store, else what the desktop does today.
    Q_PROPERTY(bool startAtLogin READ startAtLogin WRITE setStartAtLogin NOTIFY startAtLoginChanged)
public:
    UiContext(TunnelAdapter& tunnel, UpdateChecker& updates, Desktop& desktop,
              QObject* parent = nullptr);
    ~UiContext() override;

    // The instance QML gets; the last one built.
    static UiContext* create(QQmlEngine*, QJSEngine*);
    // Loads the main window (hidden) into `engine`, with the icon provider.
    static void loadWindow(QQmlApplicationEngine& engine);

    TunnelAdapter* tunnel() const { return &m_tunnel; }
    UpdateChecker* updates() const { return &m_updates; }
    QString appVersion() const;
    QString helpPageURL() const;
    QString helpLinkLabel() const;
    QString approvalSubtitle() const;
    QStringList approvalSteps() const;
    QString approvalButton() const;
    QString signOutMessage() const;
    bool startAtLogin() const;
    void setStartAtLogin(bool enabled);

    // A message with its quoted commands kept whole on one line.
    Q_INVOKABLE QString unbrokenQuotes(const QString& message) const;
    Q_INVOKABLE void copyText(const QString& text);
    Q_INVOKABLE bool openUrl(const QString& url);

Q_SIGNALS:
    void startAtLoginChanged();

private:
    TunnelAdapter& m_tunnel;
    UpdateChecker& m_updates;
    Desktop& m_desktop;
    std::unique_ptr<SchemePalette> m_palette;
};
