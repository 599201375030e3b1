import QtQuick
import Halvoran.Ui
import QtQuick.Controls

// The round connect / disconnect button and its caption. Its colours,
// shadow and caption follow the state, changing over a quarter second.
Column {
    id: root
    property powerButtonLook look: App.tunnel.powerButton
    readonly property color circleColor: Theme.tone(look.circle)
    signal activated()

    spacing: 10

    AbstractButton {
        id: button
        objectName: "powerButton"
        anchors.horizontalCenter: parent.horizontalCenter
        width: 116
        height: 116
        enabled: root.look.enabled
        focusPolicy: Qt.StrongFocus
        Accessible.role: Accessible.Button
        // What pressing does; the state is the description.
        Accessible.name: App.tunnel.isTunnelActive ? qsTr("Disconnect") : qsTr("Connect")
        Accessible.description: App.tunnel.pillLabel
        onClicked: root.activated()
        Keys.onReturnPressed: clicked()
        Keys.onEnterPressed: clicked()

        property color animatedColor: root.circleColor
        property real shadowRadius: root.look.shadowRadius
        Behavior on animatedColor { ColorAnimation { duration: 250; easing.type: Easing.InOutQuad } }
        Behavior on shadowRadius { NumberAnimation { duration: 250; easing.type: Easing.InOutQuad } }

        background: Item {
            // A soft shadow drawn as fading rings: no shader, so it renders
            // wherever Qt Quick does, the software renderer included.
            Repeater {
                model: 8
                Rectangle {
                    readonly property real spread: button.shadowRadius * (index + 1) / 8
                    anchors.centerIn: parent
                    anchors.verticalCenterOffset: button.shadowRadius / 6
                    width: 116 + 2 * spread
                    height: width
                    radius: width / 2
                    visible: button.shadowRadius > 0.5
                    color: Theme.withAlpha(button.animatedColor, 0.4 / 8 * (1 - index / 8) * 1.8)
                }
            }
            Rectangle {
                anchors.fill: parent
                radius: width / 2
                color: button.animatedColor
                opacity: button.down ? 0.85 : 1
            }
            Rectangle {
                anchors.fill: parent
                anchors.margins: -4
                radius: width / 2
                color: "transparent"
                border.width: 2
                border.color: Theme.primary
                visible: button.visualFocus
            }
        }
        contentItem: Item {
            Symbol {
                anchors.centerIn: parent
                name: "power"
                color: "white"
                size: 52
            }
        }
    }

    UiText {
        objectName: "powerCaption"
        anchors.horizontalCenter: parent.horizontalCenter
        text: root.look.caption
        font.pixelSize: Theme.title3
        font.weight: Font.DemiBold
        color: Theme.tone(root.look.captionTone)
        // The button says it already.
        Accessible.ignored: true
        Behavior on color { ColorAnimation { duration: 250; easing.type: Easing.InOutQuad } }
    }
}
