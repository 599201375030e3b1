import QtQuick
import QtQuick.Controls

// A radio button whose ring stands out in either scheme: the style's own is
// a shade darker than the window, which a dark window swallows.
RadioButton {
    id: control

    indicator: Rectangle {
        implicitWidth: 16
        implicitHeight: 16
        x: control.leftPadding
        y: control.topPadding + (control.availableHeight - height) / 2
        radius: width / 2
        color: Theme.cardBackground
        border.width: control.visualFocus ? 2 : 1
        border.color: control.visualFocus ? Theme.accent : Theme.secondary

        Rectangle {
            anchors.centerIn: parent
            width: 8
            height: 8
            radius: 4
            color: Theme.accent
            visible: control.checked
        }
    }
}
