import QtQuick
import Halvoran.Ui
import QtQuick.Controls
import QtQuick.Layouts

// Where a device not yet in service takes its activation code.
ColumnLayout {
    id: root
    objectName: "activationView"
    // The typed code; it lives as long as this screen.
    property string code: ""
    readonly property bool activating: App.tunnel.state === ConnectionState.Kind.activating

    spacing: 18
    width: Math.min(420, parent ? parent.width : 420)

    // Return anywhere but in the field presses the Activate button.
    Shortcut {
        sequences: ["Return", "Enter"]
        enabled: !codeField.activeFocus && activateButton.enabled
        onActivated: App.tunnel.activate(root.code)
    }

    ColumnLayout {
        Layout.fillWidth: true
        spacing: 0
        BrandMark {}
        UiText {
            Layout.topMargin: 6
            text: qsTr("Activate your subscription")
            font.pixelSize: Theme.title2
            font.weight: Font.DemiBold
        }
        UiText {
            Layout.fillWidth: true
            text: qsTr("Paste the activation code your admin sent you.")
            font.pixelSize: Theme.subheadline
            color: Theme.secondary
            wrapMode: Text.Wrap
        }
    }

    TextField {
        id: codeField
        objectName: "codeField"
        Layout.fillWidth: true
        focus: true
        text: root.code
        // One line, as in every single-line field: line breaks that arrive
        // (with a pasted code, say) are dropped as they come.
        onTextEdited: {
            for (let at = text.length - 1; at >= 0; --at) {
                if ("\r\n\u2028\u2029".indexOf(text[at]) >= 0)
                    remove(at, at + 1)
            }
            root.code = text
        }
        placeholderText: qsTr("activation code")
        font.family: "monospace"
        font.pixelSize: Theme.body
        inputMethodHints: Qt.ImhNoPredictiveText | Qt.ImhNoAutoUppercase | Qt.ImhSensitiveData
        Accessible.name: qsTr("Activation code")
        // Return in the field needs only a code that is not blank.
        onAccepted: App.tunnel.activate(root.code)
    }

    RowLayout {
        objectName: "activationNotice"
        Layout.fillWidth: true
        visible: App.tunnel.activationNotice.length > 0
        spacing: 6
        Symbol {
            Layout.alignment: Qt.AlignTop
            name: "clock.badge.exclamationmark"
            color: Theme.orange
            size: Theme.footnote + 4
        }
        UiText {
            Layout.fillWidth: true
            text: App.unbrokenQuotes(App.tunnel.activationNotice)
            color: Theme.orange
            font.pixelSize: Theme.footnote
            wrapMode: Text.WrapAtWordBoundaryOrAnywhere
            maximumLineCount: 8
            elide: Text.ElideRight
        }
    }

    RowLayout {
        Layout.fillWidth: true
        Item { Layout.fillWidth: true }
        ProminentButton {
            id: activateButton
            objectName: "activateButton"
            text: qsTr("Activate")
            minimumContentWidth: 80
            busy: root.activating
            // The state first: the binding then follows it back from
            // "activating" after a failure, not only the typed code.
            enabled: !root.activating && App.tunnel.canActivate(root.code)
            Accessible.name: root.activating ? qsTr("Activating") : qsTr("Activate")
            onClicked: App.tunnel.activate(root.code)
        }
    }
}
