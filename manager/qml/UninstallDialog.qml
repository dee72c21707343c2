import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Corvello.Model

// The confirmation before removing Corvello; open exactly while the model says so.
Dialog {
    id: dialog
    objectName: "uninstallDialog"
    modal: true
    focus: true
    width: 360
    anchors.centerIn: Overlay.overlay
    padding: 20
    topPadding: 20
    closePolicy: Popup.CloseOnEscape

    visible: appModel.confirmingUninstall && appModel.stage === AppModel.Dashboard
    onClosed: appModel.confirmingUninstall = false
    // The safe choice has the keyboard first; Tab reaches the destructive one.
    onOpened: cancelButton.forceActiveFocus()

    contentItem: ColumnLayout {
        spacing: 10
        Label {
            objectName: "uninstallTitle"
            Layout.fillWidth: true
            text: "Remove Corvello from this Mac?"
            font: Theme.headline
            color: Theme.primary
            wrapMode: Text.Wrap
        }
        Label {
            objectName: "uninstallMessage"
            Layout.fillWidth: true
            text: "Stops the host, unlinks this computer, and clears its permissions so a future install starts fresh. You'll be asked for your Mac password once."
            font: Theme.callout
            color: Theme.secondary
            wrapMode: Text.Wrap
        }
    }

    footer: DialogButtonBox {
        alignment: Qt.AlignRight
        padding: 16
        topPadding: 0
        PushButton {
            id: cancelButton
            objectName: "uninstallCancelButton"
            text: "Cancel"
            DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
        }
        PushButton {
            objectName: "uninstallConfirmButton"
            text: "Uninstall & wipe this Mac"
            destructive: true
            DialogButtonBox.buttonRole: DialogButtonBox.DestructiveRole
            onClicked: {
                dialog.close()
                appModel.uninstall()
            }
        }
    }
}
