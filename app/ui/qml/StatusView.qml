import QtQuick
import Halvoran.Ui
import QtQuick.Controls
import QtQuick.Layouts

// What an activated user sees: the update banner, the header with the state
// and the settings button, the power button, the service dots while the
// tunnel is up, the subscription, the last error and the routing note. The
// settings open as a sheet over the window.
ColumnLayout {
    id: root
    objectName: "statusView"
    property bool showingSettings: false
    // How tall the window must be for the open sheet.
    readonly property real sheetHeight: sheet.visible ? sheet.implicitHeight + 48 : 0
    readonly property int state: App.tunnel.state

    spacing: 18

    onShowingSettingsChanged: showingSettings ? sheet.open() : sheet.close()

    UpdateBanner {
        objectName: "updateBanner"
        visible: App.updates.available
        Layout.fillWidth: true
    }

    RowLayout {
        Layout.fillWidth: true
        spacing: 0
        BrandMark {}
        Item { Layout.fillWidth: true }
        StatusPill { objectName: "statusPill" }
        ToolButton {
            id: settingsButton
            objectName: "settingsButton"
            Layout.leftMargin: 8
            focusPolicy: Qt.StrongFocus
            padding: 4
            Accessible.name: qsTr("Settings")
            ToolTip.visible: hovered
            ToolTip.text: qsTr("Settings")
            ToolTip.delay: 500
            contentItem: Symbol { name: "gearshape"; color: Theme.secondary; size: Theme.title3 + 4 }
            onClicked: root.showingSettings = true
        }
    }

    PowerButton {
        Layout.alignment: Qt.AlignHCenter
        Layout.topMargin: 4
        Layout.bottomMargin: 4
        onActivated: App.tunnel.power()
    }

    RulesetHealthList {
        objectName: "servicesList"
        Layout.fillWidth: true
        visible: App.tunnel.hasMetadata && App.tunnel.visibleRulesets.length > 0
                 && (root.state === ConnectionState.Kind.connected
                     || root.state === ConnectionState.Kind.connecting)
    }

    SubscriptionCard {
        objectName: "subscriptionCard"
        Layout.fillWidth: true
        visible: App.tunnel.hasMetadata
    }

    RowLayout {
        objectName: "errorLabel"
        Layout.fillWidth: true
        visible: root.state === ConnectionState.Kind.error
        spacing: 6
        Symbol {
            Layout.alignment: Qt.AlignTop
            Layout.topMargin: 1
            name: "exclamationmark.triangle.fill"
            color: Theme.red
            size: Theme.callout + 3
        }
        UiText {
            objectName: "errorText"
            Layout.fillWidth: true
            text: App.unbrokenQuotes(App.tunnel.stateMessage)
            color: Theme.red
            font.pixelSize: Theme.callout
            wrapMode: Text.WrapAtWordBoundaryOrAnywhere
            maximumLineCount: 8
            elide: Text.ElideRight
        }
    }

    ColumnLayout {
        Layout.fillWidth: true
        spacing: 6
        UiText {
            text: qsTr("Selective routing")
            font.pixelSize: Theme.subheadline
            font.weight: Font.DemiBold
        }
        UiText {
            Layout.fillWidth: true
            text: qsTr("Only the services in the active rule-sets go through the VPN. Everything else stays direct.")
            font.pixelSize: Theme.footnote
            color: Theme.secondary
            wrapMode: Text.Wrap
        }
        SymbolButton {
            objectName: "helpLink"
            Layout.topMargin: 2
            link: true
            symbol: "safari"
            text: App.helpLinkLabel
            font.pixelSize: Theme.footnote
            tip: qsTr("Open the Halvoran page — FAQ, payment, report-a-site")
            onClicked: App.openUrl(App.helpPageURL)
        }
    }

    // A dialog for its name ("Settings") in the reader's tree; it draws no
    // title bar of its own.
    Dialog {
        id: sheet
        objectName: "settingsSheet"
        title: qsTr("Settings")
        header: null
        parent: Overlay.overlay
        modal: true
        focus: true
        closePolicy: Popup.CloseOnEscape
        x: Math.round((parent.width - width) / 2)
        y: 24
        width: Math.max(440, Math.min(460, parent.width - 24))
        implicitHeight: Math.max(280, settingsLoader.implicitHeight + topPadding + bottomPadding)
        // Within the window; what does not fit scrolls.
        height: Math.min(implicitHeight, parent.height - 48)
        padding: 20
        rightPadding: 0
        background: Rectangle {
            radius: 10
            color: Theme.windowBackground
            border.width: 1
            border.color: Theme.withAlpha(Theme.primary, 0.15)
        }
        onClosed: root.showingSettings = false
        contentItem: Flickable {
            id: sheetScroller
            contentWidth: width
            contentHeight: settingsLoader.implicitHeight
            interactive: contentHeight > height
            boundsBehavior: Flickable.StopAtBounds
            clip: interactive
            ScrollBar.vertical: ScrollBar {
                policy: sheetScroller.interactive ? ScrollBar.AsNeeded : ScrollBar.AlwaysOff
                visible: sheetScroller.interactive
                Accessible.name: qsTr("Settings")
            }
            Loader {
                id: settingsLoader
                // The scroll bar's lane on the right.
                width: sheetScroller.width - 20
                // Built anew at each opening: its choices start from the stored ones.
                active: root.showingSettings
                focus: true
                source: "SettingsView.qml"
                onLoaded: item.focus = true
                Connections {
                    target: settingsLoader.item
                    function onDone() { root.showingSettings = false }
                }
            }
        }
    }
}
