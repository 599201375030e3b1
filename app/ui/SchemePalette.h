#pragma once

#include "platform/Desktop.h"

#include <QObject>
#include <QPalette>

// Keeps the application's palette on the desktop's colour scheme. Qt takes
// its palette from the desktop's theme (KDE's colours, a GTK theme's), which
// is right wherever it has one; where the desktop asks for dark or light and
// that palette is not of the kind, as on GNOME, whose choice Qt 6.4 does not
// read, a palette of the scheme replaces it, and follows the user's changes.
class SchemePalette final : public QObject {
    Q_OBJECT
public:
    explicit SchemePalette(Desktop& desktop, QObject* parent = nullptr);
    // Gives Qt's palette back.
    ~SchemePalette() override;

    // The palette to draw with: `fromQt` where it fits `scheme`, else the
    // window's own palette of that scheme.
    static QPalette forScheme(Desktop::ColorScheme scheme, const QPalette& fromQt);
    static bool isDark(const QPalette& palette);

private:
    void apply(Desktop::ColorScheme scheme);

    Desktop& m_desktop;
    // The palette Qt had before one was put in its place.
    QPalette m_fromQt;
    bool m_replaced = false;
};
