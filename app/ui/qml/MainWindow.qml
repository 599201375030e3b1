import QtQuick
import QtQuick.Controls

// The app's one window: 508 wide, as tall as its screen needs (up to the
// display's height, then it scrolls), on the desktop's window colour.
ApplicationWindow {
    id: window
    objectName: "mainWindow"
    title: qsTr("Halvoran")
    color: Theme.windowBackground

    // What the routed screen (or an open sheet) needs, and what the screen
    // gives: the window is the smaller, and scrolls for the rest.
    readonly property real contentHeight: Math.max(content.implicitHeight + 48, content.overlayHeight)
    // Room left for a window manager's title bar.
    readonly property real screenHeight: Screen.desktopAvailableHeight > 0
                                         ? Screen.desktopAvailableHeight - 40 : contentHeight
    readonly property int fittedHeight: Math.ceil(Math.min(contentHeight, screenHeight))

    width: 508
    minimumWidth: 508
    maximumWidth: 508

    // Set here, not bound: the limits must move in an order that never puts
    // the height outside them, as a window manager refuses a size past the
    // limits it was last told.
    function fitHeight() {
        if (fittedHeight > maximumHeight) {
            maximumHeight = fittedHeight
            height = fittedHeight
            minimumHeight = fittedHeight
        } else {
            minimumHeight = fittedHeight
            height = fittedHeight
            maximumHeight = fittedHeight
        }
    }
    onFittedHeightChanged: fitHeight()
    Component.onCompleted: fitHeight()

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
        id: scroller
        anchors.fill: parent
        contentWidth: width
        contentHeight: window.contentHeight
        interactive: contentHeight > height
        boundsBehavior: Flickable.StopAtBounds
        clip: interactive
        ScrollBar.vertical: ScrollBar {
            policy: scroller.interactive ? ScrollBar.AsNeeded : ScrollBar.AlwaysOff
            visible: scroller.interactive
            Accessible.name: qsTr("Halvoran")
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
