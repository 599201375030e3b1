import QtQuick

// A bundled icon by its symbol name, drawn in one colour.
Image {
    id: root
    property string name
    property color color: Theme.primary
    property real size: 16

    width: size
    height: size
    sourceSize: Qt.size(size, size)
    fillMode: Image.PreserveAspectFit
    // Drawn once shown (visible reads as the item's effective visibility):
    // the icons of hidden rows cost the first frame nothing.
    source: visible && name.length > 0 ? "image://symbol/" + name + "/" + color.toString().slice(1) : ""
    Accessible.ignored: true
}
