import QtQuick
import QtQuick.Controls

// A filled button in the brand colour: the screen's main action.
Button {
    id: control
    property real minimumContentWidth: 0
    property bool busy: false

    focusPolicy: Qt.StrongFocus
    padding: 7
    leftPadding: 14
    rightPadding: 14
    font.pixelSize: Theme.body
    font.weight: Font.DemiBold
    Accessible.name: text
    Accessible.ignored: !visible

    contentItem: Item {
        implicitWidth: Math.max(control.minimumContentWidth, label.implicitWidth)
        implicitHeight: label.implicitHeight
        UiText {
            id: label
            anchors.centerIn: parent
            visible: !control.busy
            text: control.text
            font: control.font
            color: "white"
            Accessible.ignored: true
        }
        // Made only while busy: most buttons never are.
        Loader {
            anchors.centerIn: parent
            active: control.busy
            sourceComponent: BusyIndicator {
                running: true
                width: label.implicitHeight + 4
                height: width
                padding: 0
            }
        }
    }
    background: Rectangle {
        implicitHeight: 30
        radius: 7
        color: !control.enabled ? Theme.withAlpha(Theme.accent, 0.4)
                                : control.down ? Qt.darker(Theme.accent, 1.15) : Theme.accent
        border.width: control.visualFocus ? 2 : 0
        border.color: Theme.primary
    }
}
