import QtQuick
import QtQuick.Controls

// One service's reachability: a coloured dot whose ring pulses while a probe
// runs, the service's name, and the verdict in the tooltip.
Row {
    id: root
    required property string name
    required property int tone
    required property string tooltip
    required property bool pulsing

    spacing: 6
    Accessible.role: Accessible.StaticText
    Accessible.name: tooltip
    Accessible.ignored: !visible
    ToolTip.visible: hover.hovered
    ToolTip.text: tooltip
    ToolTip.delay: 500

    HoverHandler { id: hover }

    Item {
        anchors.verticalCenter: parent.verticalCenter
        width: 11
        height: 11
        Rectangle {
            anchors.fill: parent
            radius: width / 2
            color: Theme.tone(root.tone)
        }
        Rectangle {
            id: ring
            anchors.fill: parent
            radius: width / 2
            color: "transparent"
            border.width: 2
            border.color: Theme.withAlpha(Theme.tone(root.tone), 0.4)
        }
        ParallelAnimation {
            running: root.pulsing && root.visible
            loops: Animation.Infinite
            onStopped: { ring.scale = 1; ring.opacity = 1 }
            NumberAnimation { target: ring; property: "scale"; from: 1; to: 2; duration: 1200; easing.type: Easing.OutQuad }
            NumberAnimation { target: ring; property: "opacity"; from: 1; to: 0; duration: 1200; easing.type: Easing.OutQuad }
        }
    }
    UiText {
        text: root.name
        font.pixelSize: Theme.subheadline
        Accessible.ignored: true
    }
}
