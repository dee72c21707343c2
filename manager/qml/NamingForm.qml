import QtQuick
import QtQuick.Controls

FormPage {
    title: "Name this computer"
    subtitle: "You'll pick it by this name when you connect."
    primaryText: "Register"
    primaryName: "registerButton"
    onPrimary: appModel.submitName()

    FormField {
        id: nameField
        objectName: "nameField"
        placeholderText: "Computer name"
        text: appModel.computerName
        onTextChanged: appModel.computerName = text
        onAccepted: appModel.submitName()
    }

    Component.onCompleted: nameField.forceActiveFocus()
}
