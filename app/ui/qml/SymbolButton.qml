import QtQuick
import QtQuick.Controls

// A button with a symbol before its text; with `link` it has no frame and
// reads as a link in the brand colour.
Button {
    id: control
    property string symbol
    property color tint: link ? Theme.accent : Theme.primary
    property bool link: false
    property string tip
    // A text the button may show instead (a brief confirmation): the button
    // is as wide as the wider of the two, so nothing beside it moves.
    property string reservedText

    focusPolicy: Qt.StrongFocus
    flat: link
    padding: link ? 2 : 6
    leftPadding: link ? 2 : 10
    rightPadding: link ? 2 : 10
    font.pixelSize: Theme.callout
    Accessible.name: text
    Accessible.ignored: !visible
    Accessible.description: tip
    ToolTip.visible: hovered && tip.length > 0
    ToolTip.text: tip
    ToolTip.delay: 500

    contentItem: Row {
        spacing: 5
        Symbol {
            anchors.verticalCenter: parent.verticalCenter
            name: control.symbol
            color: control.tint
            size: control.font.pixelSize + 3
            visible: name.length > 0
        }
        Item {
            anchors.verticalCenter: parent.verticalCenter
            implicitWidth: Math.max(label.implicitWidth, Math.ceil(reserved.advanceWidth))
            implicitHeight: label.implicitHeight
            UiText {
                id: label
                text: control.text
                font: control.font
                color: control.tint
                Accessible.ignored: true
            }
            TextMetrics {
                id: reserved
                font: control.font
                text: control.reservedText
            }
        }
    }
    background: Rectangle {
        visible: !control.link || control.visualFocus
        implicitHeight: control.link ? 0 : 28
        radius: 6
        color: control.link ? "transparent"
                            : control.down ? Qt.darker(Theme.cardBackground, 1.1) : Theme.cardBackground
        border.width: control.visualFocus ? 2 : 1
        border.color: control.visualFocus ? Theme.accent : Theme.withAlpha(Theme.primary, 0.18)
    }
}
