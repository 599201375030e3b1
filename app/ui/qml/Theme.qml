pragma Singleton
import QtQuick
import Halvoran.Ui

// The window's colours and text sizes. Window, card and text colours come
// from the desktop's palette, so the window follows a light or dark theme;
// the status colours are the usual system red, orange, yellow, green and gray,
// in their light or dark variant.
QtObject {
    readonly property SystemPalette system: SystemPalette { colorGroup: SystemPalette.Active }

    readonly property color accent: Qt.rgba(0.07, 0.78, 0.74, 1)
    readonly property bool dark: system.window.hslLightness < 0.5

    readonly property color windowBackground: system.window
    readonly property color cardBackground: system.base
    readonly property color primary: system.windowText
    readonly property color secondary: withAlpha(primary, 0.62)
    readonly property color tertiary: withAlpha(primary, 0.3)

    readonly property color red: dark ? "#ff453a" : "#ff3b30"
    readonly property color orange: dark ? "#ff9f0a" : "#f08a00"
    readonly property color yellow: dark ? "#ffd60a" : "#f5c400"
    readonly property color green: dark ? "#30d158" : "#28c840"
    readonly property color gray: dark ? "#98989d" : "#8e8e93"

    // Text sizes scaled from the desktop's own body font.
    readonly property real body: Math.max(13, Qt.application.font.pixelSize > 0
                                              ? Qt.application.font.pixelSize
                                              : Qt.application.font.pointSize * 4 / 3)
    readonly property real title2: Math.round(body * 17 / 13)
    readonly property real title3: Math.round(body * 15 / 13)
    readonly property real headline: body
    readonly property real callout: Math.round(body * 12 / 13)
    readonly property real subheadline: Math.round(body * 11 / 13)
    readonly property real footnote: Math.round(body * 10.5 / 13)
    readonly property real caption: Math.round(body * 10 / 13)

    function withAlpha(c, alpha) {
        return Qt.rgba(c.r, c.g, c.b, c.a * alpha)
    }

    // A tone of the presentation as a colour of this palette.
    function tone(tone) {
        switch (tone) {
        case Presentation.Tone.secondary: return secondary
        case Presentation.Tone.dimmed: return withAlpha(secondary, 0.4)
        case Presentation.Tone.accent: return accent
        case Presentation.Tone.gray: return gray
        case Presentation.Tone.yellow: return yellow
        case Presentation.Tone.orange: return orange
        case Presentation.Tone.green: return green
        case Presentation.Tone.red: return red
        }
        return primary
    }
}
