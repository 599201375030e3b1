#pragma once

#include "platform/Desktop.h"

#include <QList>

// A desktop that records what the app asked of it.
class FakeDesktop final : public Desktop {
public:
    bool isTrayAvailable() const override { return trayAvailable; }
    void copyToClipboard(const QString& text) override { clipboard = text; }
    bool openUrl(const QUrl& url) override {
        opened.append(url);
        return opens;
    }
    QString operatingSystem() const override { return system; }

    bool trayAvailable = false;
    bool opens = true;
    QString system = QStringLiteral("Linux Test OS 1, kernel 6.1.0-test");
    QString clipboard;
    QList<QUrl> opened;
};
