import QtQuick
import Halvoran.Ui

// "Services": one dot per visible rule-set, sorted by name, wrapping onto
// more rows when there are many.
Column {
    id: root

    spacing: 8
    topPadding: 4
    bottomPadding: 4

    UiText {
        text: qsTr("Services")
        font.pixelSize: Theme.subheadline
        font.weight: Font.DemiBold
        color: Theme.secondary
    }
    Flow {
        width: root.width
        spacing: 14
        Repeater {
            model: App.tunnel.rulesetDots
            // Its name, tone, tooltip and pulsing come from the model's roles.
            RulesetDot { objectName: "rulesetDot_" + name }
        }
    }
}
