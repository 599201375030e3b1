import QtQuick
import QtQuick.Controls

// The app's one window: 508 wide, as tall as its screen needs (up to the
// display's height, then it scrolls), on the desktop's window colour.
ApplicationWindow {
    id: window
    objectName: "mainWindow"
    title: "Halvoran"
    color: Theme.windowBackground

    readonly property real contentHeight: Math.max(content.implicitHeight + 48, content.overlayHeight)
    readonly property real screenHeight: Screen.desktopAvailableHeight > 0
                                         ? Screen.desktopAvailableHeight - 40 : contentHeight

    width: 508
    minimumWidth: 508
    maximumWidth: 508
    height: Math.ceil(Math.min(contentHeight, screenHeight))
    minimumHeight: height
    maximumHeight: height

    // The controls take the desktop's colours (popups included), tinted
    // with the brand colour.
    palette.window: Theme.system.window
    palette.windowText: Theme.system.windowText
    palette.base: Theme.system.base
    palette.alternateBase: Theme.system.alternateBase
    palette.text: Theme.system.text
    palette.button: Theme.system.button
    palette.buttonText: Theme.system.buttonText
    palette.light: Theme.system.light
    palette.midlight: Theme.system.midlight
    palette.mid: Theme.system.mid
    palette.dark: Theme.system.dark
    palette.shadow: Theme.system.shadow
    palette.placeholderText: Theme.secondary
    palette.toolTipBase: Theme.system.base
    palette.toolTipText: Theme.system.text
    palette.highlight: Theme.accent
    palette.highlightedText: "white"

    Flickable {
        anchors.fill: parent
        contentWidth: width
        contentHeight: window.contentHeight
        interactive: contentHeight > height
        boundsBehavior: Flickable.StopAtBounds
        clip: interactive
        ScrollBar.vertical: interactive ? scrollBar.createObject(window) : null

        Component {
            id: scrollBar
            ScrollBar { policy: ScrollBar.AsNeeded }
        }

        ContentView {
            id: content
            objectName: "contentView"
            x: 24
            y: 24
            width: 460
            focus: true
        }
    }
}
