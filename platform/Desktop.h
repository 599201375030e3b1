#pragma once

#include <QString>
#include <QUrl>

#include <functional>

// What the desktop session offers the window and the tray: the tray host, the
// clipboard, the default browser, the colour scheme, and the facts about the
// running system that a support report names.
class Desktop {
public:
    // What the user asked applications to look like.
    enum class ColorScheme { noPreference, dark, light };

    virtual ~Desktop();

    // Whether a tray host runs that can show the app's item.
    virtual bool isTrayAvailable() const = 0;
    // Calls `changed` with the answer above whenever it changes: a tray host
    // that starts after the app (the usual race at login), or one that goes.
    virtual void watchTray(std::function<void(bool available)> changed) = 0;
    // Whether the program starts with the user's session, and the switch for
    // it; false when the change could not be made.
    virtual bool startsAtLogin() const = 0;
    virtual bool setStartAtLogin(bool enabled) = 0;
    // Replaces the clipboard's content by `text`, as plain text.
    virtual void copyToClipboard(const QString& text) = 0;
    // Opens `url` in the user's default handler; false when none took it.
    virtual bool openUrl(const QUrl& url) = 0;
    // The scheme asked for now; with no preference the palette Qt took from
    // the desktop decides.
    virtual ColorScheme colorScheme() const = 0;
    // Calls `changed` with the new scheme whenever the user changes it.
    virtual void watchColorScheme(std::function<void(ColorScheme)> changed) = 0;
    // The running system, as the report's "os: " line names it.
    virtual QString operatingSystem() const = 0;
};
