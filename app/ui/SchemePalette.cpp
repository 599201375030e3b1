#include "app/ui/SchemePalette.h"

#include <QGuiApplication>

using Scheme = Desktop::ColorScheme;

namespace {

struct Colors {
    QColor window, base, text, button, light, mid, dark, disabled;
};

// Neutral greys that keep every control's edge apart from the window and
// the cards (a radio button's ring, a switch's track) in both kinds.
const Colors lightColors{"#efeff0", "#ffffff", "#1d1d1f", "#f6f6f7",
                         "#ffffff", "#c8c8cc", "#a0a0a4", "#a0a0a4"};
const Colors darkColors{"#242426", "#323235", "#ececee", "#3a3a3c",
                        "#4b4b4e", "#505054", "#1a1a1c", "#77777a"};

QPalette paletteOf(const Colors& c) {
    QPalette p;
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const bool disabled = group == QPalette::Disabled;
        p.setColor(group, QPalette::Window, c.window);
        p.setColor(group, QPalette::Base, c.base);
        p.setColor(group, QPalette::AlternateBase, c.window);
        p.setColor(group, QPalette::Button, c.button);
        for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
            p.setColor(group, role, disabled ? c.disabled : c.text);
        p.setColor(group, QPalette::PlaceholderText, QColor("#8e8e93"));
        p.setColor(group, QPalette::Light, c.light);
        p.setColor(group, QPalette::Midlight, c.button);
        p.setColor(group, QPalette::Mid, c.mid);
        p.setColor(group, QPalette::Dark, c.dark);
        p.setColor(group, QPalette::Shadow, Qt::black);
        p.setColor(group, QPalette::Highlight, QColor("#12c7bd"));
        p.setColor(group, QPalette::HighlightedText, Qt::white);
        p.setColor(group, QPalette::ToolTipBase, c.base);
        p.setColor(group, QPalette::ToolTipText, c.text);
    }
    return p;
}

} // namespace

SchemePalette::SchemePalette(Desktop& desktop, QObject* parent)
    : QObject(parent)
    , m_desktop(desktop)
    , m_fromQt(QGuiApplication::palette()) {
    apply(m_desktop.colorScheme());
    m_desktop.watchColorScheme([this](Scheme scheme) { apply(scheme); });
}

SchemePalette::~SchemePalette() {
    m_desktop.watchColorScheme({});
    if (m_replaced)
        QGuiApplication::setPalette(m_fromQt);
}

bool SchemePalette::isDark(const QPalette& palette) {
    // The rule the window's colours follow too (Theme.qml).
    return palette.color(QPalette::Active, QPalette::Window).lightnessF() < 0.5;
}

QPalette SchemePalette::forScheme(Scheme scheme, const QPalette& fromQt) {
    if (scheme == Scheme::noPreference || (scheme == Scheme::dark) == isDark(fromQt))
        return fromQt;
    return paletteOf(scheme == Scheme::dark ? darkColors : lightColors);
}

void SchemePalette::apply(Scheme scheme) {
    // Qt's own may have changed meanwhile (a new KDE colour scheme).
    if (!m_replaced)
        m_fromQt = QGuiApplication::palette();
    const QPalette chosen = forScheme(scheme, m_fromQt);
    const bool replacing = !chosen.isCopyOf(m_fromQt);
    // Left alone where it fits: a palette set once, even Qt's own, would no
    // longer follow the desktop's theme.
    if (replacing || std::exchange(m_replaced, replacing))
        QGuiApplication::setPalette(chosen);
    m_replaced = replacing;
}
