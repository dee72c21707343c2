import QtQuick
import QtQuick.Controls

FormPage {
    title: "Sign in"
    subtitle: "Use the same email and password as " + hostControl.websiteHost + "."
    primaryText: "Continue"
    primaryName: "continueButton"
    onPrimary: appModel.submitSignIn()

    FormField {
        id: emailField
        objectName: "emailField"
        placeholderText: "Email"
        inputMethodHints: Qt.ImhEmailCharactersOnly | Qt.ImhNoAutoUppercase
        text: appModel.email
        onTextChanged: appModel.email = text
        // Return here does nothing: the password comes next.
    }
    FormField {
        objectName: "passwordField"
        placeholderText: "Password"
        echoMode: TextInput.Password
        text: appModel.password
        onTextChanged: appModel.password = text
        onAccepted: appModel.submitSignIn()
    }

    Component.onCompleted: emailField.forceActiveFocus()
}
