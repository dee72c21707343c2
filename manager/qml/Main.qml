import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Corvello.Model

// The one window: the header, a divider, and the screen of the model's stage. Fixed size.
ApplicationWindow {
    id: window
    objectName: "managerWindow"
    title: "Corvello"
    width: 460
    height: 560
    minimumWidth: 460
    maximumWidth: 460
    minimumHeight: 560
    maximumHeight: 560
    visible: true
    color: Theme.windowBackground

    // Shown for the first time: poll again (nothing happens while the first poll runs).
    Component.onCompleted: appModel.refresh()

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        Header { Layout.fillWidth: true }
        Divider { Layout.fillWidth: true }

        Loader {
            id: screen
            objectName: "screen"
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.margins: Theme.screenPadding
            focus: true
            sourceComponent: {
                switch (appModel.stage) {
                case AppModel.SignIn: return signIn
                case AppModel.TwoFactor: return twoFactor
                case AppModel.Naming: return naming
                case AppModel.ShowQR: return showQR
                case AppModel.Working: return working
                default: return dashboard
                }
            }
        }
    }

    Component { id: dashboard; Dashboard {} }
    Component { id: signIn; SignInForm {} }
    Component { id: twoFactor; TwoFactorForm {} }
    Component { id: naming; NamingForm {} }
    Component { id: showQR; QRConfirm {} }
    Component { id: working; Working { message: appModel.workingMessage } }

    UninstallDialog {}
}
