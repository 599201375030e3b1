import QtQuick
import Halvoran.Ui
import QtQuick.Controls
import QtQuick.Layouts

// The settings sheet: routing mode, the subscription with the rule-set
// reload, sign-out, the diagnostic report, help and the version.
FocusScope {
    id: root
    signal done()

    property bool confirmSignOut: false
    property bool refreshingRulesets: false
    property bool diagnosticCopied: false

    implicitWidth: column.implicitWidth
    implicitHeight: column.implicitHeight

    onConfirmSignOutChanged: confirmSignOut ? confirm.open() : confirm.close()

    // "Done" is the default action.
    Shortcut {
        sequences: ["Return", "Enter"]
        enabled: !confirm.visible
        onActivated: root.done()
    }

    Timer {
        id: copiedTimer
        interval: 2000
        onTriggered: root.diagnosticCopied = false
    }

    ColumnLayout {
        id: column
        width: root.width
        spacing: 20

        RowLayout {
            Layout.fillWidth: true
            UiText {
                text: qsTr("Settings")
                font.pixelSize: Theme.title2
                font.weight: Font.DemiBold
            }
            Item { Layout.fillWidth: true }
            ProminentButton {
                objectName: "doneButton"
                text: qsTr("Done")
                focus: true
                onClicked: root.done()
            }
        }

        GroupBox {
            Layout.fillWidth: true
            Accessible.name: qsTr("Routing mode")
            ColumnLayout {
                width: parent.width
                spacing: 8
                UiText {
                    text: qsTr("Routing mode")
                    font.pixelSize: Theme.subheadline
                    font.weight: Font.Medium
                }
                ButtonGroup { id: modes }
                RadioChoice {
                    objectName: "selectiveChoice"
                    text: qsTr("Selective (recommended)")
                    Accessible.name: text
                    ButtonGroup.group: modes
                    // The stored mode when the sheet opened; a pick stores it.
                    Component.onCompleted: checked = !App.tunnel.globalRouting
                    onToggled: if (checked) App.tunnel.globalRouting = false
                }
                RadioChoice {
                    objectName: "globalChoice"
                    text: qsTr("Global (all traffic)")
                    Accessible.name: text
                    ButtonGroup.group: modes
                    Component.onCompleted: checked = App.tunnel.globalRouting
                    onToggled: if (checked) App.tunnel.globalRouting = true
                }
                UiText {
                    Layout.fillWidth: true
                    text: qsTr("Selective tunnels only services in your active rule-sets. Global routes everything through the VPN.")
                    font.pixelSize: Theme.caption
                    color: Theme.secondary
                    wrapMode: Text.Wrap
                }
            }
        }

        GroupBox {
            Layout.fillWidth: true
            Accessible.name: qsTr("Startup")
            Switch {
                objectName: "startAtLoginSwitch"
                text: qsTr("Start at login")
                Accessible.name: text
                checked: App.startAtLogin
                onToggled: App.startAtLogin = checked
            }
        }

        GroupBox {
            objectName: "subscriptionBox"
            Layout.fillWidth: true
            visible: App.tunnel.hasMetadata
            Accessible.name: qsTr("Subscription")
            Accessible.ignored: !visible
            ColumnLayout {
                width: parent.width
                spacing: 6
                SettingsRow {
                    visible: App.tunnel.hasExpiry
                    label: qsTr("Expires")
                    value: App.tunnel.expiryShortText
                }
                SettingsRow {
                    label: qsTr("Edges")
                    value: String(App.tunnel.edgeCount)
                }
                SettingsRow {
                    label: qsTr("Last refresh")
                    value: App.tunnel.lastRefreshText
                }
                RowLayout {
                    Layout.fillWidth: true
                    spacing: 6
                    UiText {
                        Layout.alignment: Qt.AlignTop
                        text: qsTr("Rule-sets")
                        font.pixelSize: Theme.callout
                        color: Theme.secondary
                    }
                    UiText {
                        objectName: "rulesetNames"
                        Layout.fillWidth: true
                        Layout.alignment: Qt.AlignTop
                        text: App.tunnel.visibleRulesets.length > 0
                              ? App.tunnel.visibleRulesets.join(", ") : qsTr("none")
                        font.pixelSize: Theme.callout
                        wrapMode: Text.WrapAtWordBoundaryOrAnywhere
                        maximumLineCount: 4
                        elide: Text.ElideRight
                    }
                    ToolButton {
                        id: reload
                        objectName: "reloadRulesets"
                        enabled: !root.refreshingRulesets
                        focusPolicy: Qt.StrongFocus
                        padding: 3
                        Accessible.name: qsTr("Reload rule-sets")
                        ToolTip.visible: hovered
                        ToolTip.text: qsTr("Re-download rule-sets and restart the tunnel if it’s up.")
                        ToolTip.delay: 500
                        contentItem: Item {
                            implicitWidth: 18
                            implicitHeight: 18
                            Symbol {
                                anchors.centerIn: parent
                                visible: !root.refreshingRulesets
                                name: "arrow.clockwise"
                                color: Theme.secondary
                                size: 16
                            }
                            BusyIndicator {
                                objectName: "reloadSpinner"
                                Accessible.name: qsTr("Reloading rule-sets")
                                Accessible.ignored: !visible
                                anchors.fill: parent
                                padding: 0
                                visible: root.refreshingRulesets
                                running: root.refreshingRulesets
                            }
                        }
                        onClicked: {
                            root.refreshingRulesets = true
                            App.tunnel.reloadRulesets(root, function() { root.refreshingRulesets = false })
                        }
                    }
                }
            }
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 8
            SymbolButton {
                objectName: "signOutButton"
                text: qsTr("Sign out")
                symbol: "rectangle.portrait.and.arrow.right"
                tint: Theme.red
                onClicked: root.confirmSignOut = true
            }
            SymbolButton {
                objectName: "copyButton"
                text: root.diagnosticCopied ? qsTr("Copied") : qsTr("Copy diagnostic")
                reservedText: qsTr("Copy diagnostic")
                symbol: root.diagnosticCopied ? "checkmark" : "doc.on.doc"
                tip: qsTr("Copy a short report (version, edges, rule-sets, preferred edge) to the clipboard for support chats.")
                onClicked: {
                    App.copyText(App.tunnel.diagnosticReport())
                    root.diagnosticCopied = true
                    copiedTimer.restart()
                }
            }
            SymbolButton {
                objectName: "helpButton"
                link: true
                text: qsTr("Help & FAQ")
                symbol: "questionmark.circle"
                tip: qsTr("Open the Halvoran help page in your browser")
                onClicked: App.openUrl(App.helpPageURL)
            }
            Item { Layout.fillWidth: true }
            UiText {
                objectName: "versionText"
                Layout.maximumWidth: 120
                elide: Text.ElideRight
                text: qsTr("v%1").arg(App.appVersion)
                font.pixelSize: Theme.caption
                color: Theme.secondary
            }
        }
    }

    Dialog {
        id: confirm
        objectName: "signOutDialog"
        parent: Overlay.overlay
        modal: true
        focus: true
        title: qsTr("Sign out?")
        x: Math.round((parent.width - width) / 2)
        y: Math.round((parent.height - height) / 3)
        width: Math.min(400, parent.width - 40)
        onClosed: root.confirmSignOut = false
        // The safe answer has the focus: Return or Space there keeps the
        // subscription, as does Escape.
        onOpened: cancelSignOut.forceActiveFocus()
        contentItem: UiText {
            text: App.signOutMessage
            wrapMode: Text.Wrap
            font.pixelSize: Theme.callout
        }
        footer: DialogButtonBox {
            Button {
                id: cancelSignOut
                objectName: "cancelSignOut"
                text: qsTr("Cancel")
                Accessible.name: text
                Accessible.defaultButton: true
                focus: true
                DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
                Keys.onReturnPressed: confirm.reject()
                Keys.onEnterPressed: confirm.reject()
            }
            Button {
                id: confirmSignOutButton
                objectName: "confirmSignOut"
                text: qsTr("Sign out")
                Accessible.name: qsTr("Sign out")
                DialogButtonBox.buttonRole: DialogButtonBox.DestructiveRole
                contentItem: UiText {
                    text: confirmSignOutButton.text
                    color: Theme.red
                    horizontalAlignment: Text.AlignHCenter
                    Accessible.ignored: true
                }
                Keys.onReturnPressed: signOut()
                Keys.onEnterPressed: signOut()
                onClicked: signOut()
                function signOut() {
                    confirm.close()
                    App.tunnel.signOut(root, function() { root.done() })
                }
            }
        }
    }
}
