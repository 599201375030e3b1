import QtQuick
import Halvoran.Ui
import QtQuick.Layouts

// The subscription's expiry and the time left.
Rectangle {
    id: root
    implicitHeight: column.implicitHeight + 24
    radius: 10
    color: Theme.cardBackground

    ColumnLayout {
        id: column
        x: 12
        y: 12
        width: root.width - 24
        spacing: 6

        RowLayout {
            spacing: 6
            Layout.fillWidth: true
            Symbol {
                name: "person.crop.circle.badge.checkmark"
                color: Theme.accent
                size: Theme.title3 + 2
            }
            UiText {
                text: qsTr("Subscription")
                font.pixelSize: Theme.headline
                font.weight: Font.DemiBold
            }
            Item { Layout.fillWidth: true }
            UiText {
                objectName: "remainingTime"
                visible: App.tunnel.hasExpiry
                text: App.tunnel.remainingText
                font.pixelSize: Theme.subheadline
                font.weight: Font.DemiBold
                color: Theme.tone(App.tunnel.remainingTone)
            }
        }
        UiText {
            Layout.fillWidth: true
            text: App.tunnel.hasExpiry ? qsTr("Active until %1").arg(App.tunnel.expiryLongText)
                                       : qsTr("Expiry not provided by the server.")
            font.pixelSize: Theme.footnote
            color: Theme.secondary
            wrapMode: Text.Wrap
        }
    }
}
