import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Corvello.Model

// The device's authenticator QR and the code that confirms it.
ColumnLayout {
    spacing: 12

    Label {
        objectName: "qrTitle"
        Layout.alignment: Qt.AlignHCenter
        text: "Set up this computer's code"
        font: Theme.title2
        color: Theme.primary
    }
    Label {
        objectName: "qrSubtitle"
        Layout.fillWidth: true
        text: "Scan this with Google Authenticator (or any authenticator app)."
        font: Theme.callout
        color: Theme.secondary
        wrapMode: Text.Wrap
        horizontalAlignment: Text.AlignHCenter
    }
    Rectangle {
        Layout.alignment: Qt.AlignHCenter
        implicitWidth: 200 + 12
        implicitHeight: 200 + 12
        radius: 8
        color: Theme.white
        border.color: Theme.divider
        border.width: 1

        QRCode {
            id: qr
            objectName: "qrCode"
            x: 6
            y: 6
            width: 200
            height: 200
            text: appModel.pendingOtpauth
            visible: renderable
        }
        Label {
            objectName: "qrFallback"
            anchors.fill: qr
            visible: !qr.renderable
            text: "Couldn't render the QR — use the setup key below."
            font: Theme.footnote
            color: Theme.secondary
            wrapMode: Text.Wrap
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
        }
    }
    FormBanner {}
    Label {
        objectName: "qrPrompt"
        Layout.alignment: Qt.AlignHCenter
        text: "Then type the 6-digit code it shows to confirm:"
        font: Theme.callout
        color: Theme.secondary
    }
    TextField {
        id: codeField
        objectName: "confirmField"
        Layout.alignment: Qt.AlignHCenter
        implicitWidth: 140
        implicitHeight: 34
        placeholderText: "000000"
        horizontalAlignment: TextInput.AlignHCenter
        font: Theme.headline
        inputMethodHints: Qt.ImhDigitsOnly
        text: appModel.confirmCode
        onTextChanged: appModel.confirmCode = text
        onAccepted: appModel.submitConfirm()
    }
    Item { Layout.fillHeight: true }
    RowLayout {
        Layout.fillWidth: true
        PushButton {
            objectName: "cancelButton"
            text: "Cancel"
            onClicked: appModel.cancelFlow()
        }
        Item { Layout.fillWidth: true }
        ProminentButton {
            objectName: "confirmButton"
            text: "Confirm & finish"
            onClicked: appModel.submitConfirm()
        }
    }

    Component.onCompleted: codeField.forceActiveFocus()
}
