import QtQuick
import Halvoran.Ui

// "Services": one dot per visible rule-set, sorted by name, wrapping onto
// more rows when there are many.
Column {
    id: root
    property var dots: App.tunnel.rulesetDots

    spacing: 8
    topPadding: 4
    bottomPadding: 4

    UiText {
        text: "Services"
        font.pixelSize: Theme.subheadline
        font.weight: Font.DemiBold
        color: Theme.secondary
    }
    Flow {
        width: root.width
        spacing: 14
        Repeater {
            model: root.dots
            RulesetDot {
                objectName: "rulesetDot_" + modelData.name
                name: modelData.name
                tone: modelData.tone
                tooltip: modelData.tooltip
                pulsing: modelData.pulsing
            }
        }
    }
}
