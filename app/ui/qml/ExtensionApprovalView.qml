import QtQuick
import Halvoran.Ui
import QtQuick.Controls
import QtQuick.Layouts

// Guides the user through the one-time approval of the tunnel. The screen
// has no timer: the controller leaves it once the approval arrives.
ColumnLayout {
    id: root
    objectName: "approvalView"
    spacing: 18
    width: Math.min(460, parent ? parent.width : 460)

    Shortcut {
        sequences: ["Return", "Enter"]
        onActivated: App.tunnel.requestApproval()
    }

    ColumnLayout {
        Layout.fillWidth: true
        spacing: 0
        BrandMark {}
        UiText {
            Layout.topMargin: 6
            Layout.fillWidth: true
            text: qsTr("One last step: allow the VPN extension")
            font.pixelSize: Theme.title2
            font.weight: Font.DemiBold
            wrapMode: Text.Wrap
        }
        UiText {
            Layout.fillWidth: true
            text: App.approvalSubtitle
            font.pixelSize: Theme.subheadline
            color: Theme.secondary
            wrapMode: Text.Wrap
        }
    }

    Rectangle {
        Layout.fillWidth: true
        implicitHeight: steps.implicitHeight + 28
        radius: 10
        color: Theme.cardBackground
        ColumnLayout {
            id: steps
            x: 14
            y: 14
            width: parent.width - 28
            spacing: 10
            Repeater {
                model: App.approvalSteps.concat([qsTr("Come back here — it continues automatically.")])
                RowLayout {
                    Layout.fillWidth: true
                    spacing: 8
                    Rectangle {
                        Layout.alignment: Qt.AlignTop
                        width: 18
                        height: 18
                        radius: 9
                        color: Theme.accent
                        UiText {
                            anchors.centerIn: parent
                            text: String(index + 1)
                            font.pixelSize: Theme.caption
                            font.bold: true
                            color: "white"
                            Accessible.ignored: true
                        }
                    }
                    UiText {
                        Layout.fillWidth: true
                        text: modelData
                        font.pixelSize: Theme.callout
                        wrapMode: Text.Wrap
                    }
                }
            }
        }
    }

    RowLayout {
        spacing: 8
        BusyIndicator {
            running: root.visible
            implicitWidth: 18
            implicitHeight: 18
            padding: 0
        }
        UiText {
            text: qsTr("Waiting for approval…")
            font.pixelSize: Theme.footnote
            color: Theme.secondary
        }
    }

    RowLayout {
        Layout.fillWidth: true
        Item { Layout.fillWidth: true }
        ProminentButton {
            objectName: "approveButton"
            text: App.approvalButton
            minimumContentWidth: 130
            onClicked: App.tunnel.requestApproval()
        }
    }
}
