import QtQuick
import Halvoran.Ui

// A small capsule naming the connection state.
Rectangle {
    id: root
    property int tone: App.tunnel.pillTone
    property string label: App.tunnel.pillLabel

    implicitWidth: row.implicitWidth + 20
    implicitHeight: row.implicitHeight + 8
    radius: height / 2
    color: Theme.cardBackground
    Accessible.role: Accessible.StaticText
    Accessible.name: label

    Row {
        id: row
        anchors.centerIn: parent
        spacing: 6
        Rectangle {
            anchors.verticalCenter: parent.verticalCenter
            width: 9
            height: 9
            radius: 4.5
            color: Theme.tone(root.tone)
        }
        UiText {
            objectName: "statusPillLabel"
            text: root.label
            font.pixelSize: Theme.subheadline
            font.weight: Font.Medium
            color: Theme.secondary
            Accessible.ignored: true
        }
    }
}
