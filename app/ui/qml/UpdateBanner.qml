import QtQuick
import Halvoran.Ui
import QtQuick.Controls
import QtQuick.Layouts

// Shown while a newer version is known; "Update" asks the updater to check now.
Rectangle {
    id: root
    implicitHeight: row.implicitHeight + 16
    radius: 8
    color: Theme.cardBackground
    border.width: 1
    border.color: Theme.withAlpha(Theme.accent, 0.35)

    RowLayout {
        id: row
        anchors.fill: parent
        anchors.leftMargin: 12
        anchors.rightMargin: 12
        anchors.topMargin: 8
        anchors.bottomMargin: 8
        spacing: 10

        Symbol {
            name: "arrow.down.circle.fill"
            color: Theme.accent
            size: 20
        }
        ColumnLayout {
            spacing: 1
            Layout.fillWidth: true
            UiText {
                text: qsTr("New version available")
                font.pixelSize: Theme.subheadline
                font.weight: Font.DemiBold
            }
            UiText {
                objectName: "updateVersion"
                Layout.fillWidth: true
                text: qsTr("v%1 (%2)").arg(App.updates.availableVersion).arg(App.updates.availableBuild)
                font.pixelSize: Theme.caption
                color: Theme.secondary
                elide: Text.ElideRight
            }
        }
        Button {
            id: update
            text: qsTr("Update")
            Accessible.name: text
            Accessible.description: qsTr("Download and install the update")
            Accessible.ignored: !visible
            focusPolicy: Qt.StrongFocus
            leftPadding: 12
            rightPadding: 12
            topPadding: 5
            bottomPadding: 5
            font.pixelSize: Theme.callout
            font.weight: Font.Medium
            ToolTip.visible: hovered
            ToolTip.text: qsTr("Download and install the update")
            ToolTip.delay: 500
            onClicked: App.updates.checkForUpdates()
            contentItem: UiText {
                text: update.text
                font: update.font
                color: Theme.accent
                Accessible.ignored: true
            }
            background: Rectangle {
                radius: height / 2
                color: Theme.withAlpha(Theme.accent, update.down ? 0.3 : 0.18)
                border.width: update.visualFocus ? 2 : 0
                border.color: Theme.accent
            }
        }
    }
}
