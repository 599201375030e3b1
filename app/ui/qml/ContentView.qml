import QtQuick
import Halvoran.Ui

// Shows the one screen that fits the controller's state, in a 460-wide
// column, and fetches fresh metadata whenever the device is (or becomes)
// activated.
FocusScope {
    id: root
    // The screen's file for the state.
    readonly property url screen: {
        switch (App.tunnel.state) {
        case ConnectionState.Kind.needsExtensionApproval:
            return "ExtensionApprovalView.qml"
        case ConnectionState.Kind.notActivated:
        case ConnectionState.Kind.activating:
            return "ActivationView.qml"
        }
        return "StatusView.qml"
    }
    // The height the window needs beyond the screen itself (an open sheet).
    readonly property real overlayHeight: loader.item && loader.item.sheetHeight
                                          ? loader.item.sheetHeight : 0
    readonly property bool activated: App.tunnel.isActivated

    implicitHeight: loader.item ? loader.item.implicitHeight : 0

    function refreshIfActivated() {
        if (App.tunnel.isActivated)
            App.tunnel.refreshMetadata(true)
    }
    onActivatedChanged: refreshIfActivated()
    Component.onCompleted: refreshIfActivated()

    Loader {
        id: loader
        objectName: "routeLoader"
        width: root.width
        focus: true
        // Activation and "activating" share one instance, so a typed code
        // survives a failed attempt; any other change starts a screen afresh.
        // By file, so that a screen's types load only when it is first shown.
        source: root.screen
    }
}
