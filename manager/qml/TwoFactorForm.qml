import QtQuick
import QtQuick.Controls

FormPage {
    title: "Two-factor code"
    subtitle: "Enter the 6-digit code from your account's authenticator."
    primaryText: "Continue"
    primaryName: "continueButton"
    onPrimary: appModel.submitTwoFactor()

    FormField {
        id: codeField
        objectName: "twoFactorField"
        placeholderText: "000000"
        inputMethodHints: Qt.ImhDigitsOnly
        text: appModel.twoFactorCode
        onTextChanged: appModel.twoFactorCode = text
        onAccepted: appModel.submitTwoFactor()
    }

    Component.onCompleted: codeField.forceActiveFocus()
}
