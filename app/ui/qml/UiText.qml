import QtQuick

// Text that is never read as markup: values from the network stay plain.
Text {
    textFormat: Text.PlainText
    color: Theme.primary
    font.pixelSize: Theme.body
    Accessible.role: Accessible.StaticText
    Accessible.name: text
    // Not shown, not read: a hidden text stays out of the reader's tree.
    Accessible.ignored: !visible
}
