import QtQuick
import QtQuick.Layouts

// A label in the secondary colour and its value at the far end.
RowLayout {
    property string label
    property string value
    Layout.fillWidth: true
    UiText {
        text: parent.label
        font.pixelSize: Theme.callout
        color: Theme.secondary
    }
    Item { Layout.fillWidth: true }
    UiText {
        text: parent.value
        font.pixelSize: Theme.callout
        elide: Text.ElideRight
        Layout.maximumWidth: 280
    }
}
