import QtQuick

// The product's wordmark: the shield, then "Hal · voran".
Row {
    spacing: 6
    Accessible.role: Accessible.StaticText
    Accessible.name: qsTr("Halvoran")

    Symbol {
        anchors.verticalCenter: parent.verticalCenter
        name: "shield.lefthalf.filled"
        color: Theme.accent
        size: Theme.title3 + 3
    }
    Row {
        anchors.verticalCenter: parent.verticalCenter
        spacing: 4
        UiText {
            //: The product name's first three letters, in the brand colour.
            text: qsTr("Hal")
            font.pixelSize: Theme.title3
            font.weight: Font.DemiBold
            color: Theme.accent
            Accessible.ignored: true
        }
        UiText {
            text: "·"
            font.pixelSize: Theme.title3
            color: Theme.tertiary
            Accessible.ignored: true
        }
        UiText {
            //: The rest of the product name.
            text: qsTr("voran")
            font.pixelSize: Theme.title3
            font.weight: Font.Medium
            Accessible.ignored: true
        }
    }
}
