import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The status dashboard: the banner, the overall state, the host agent's state when this
// computer is registered, and the maintenance buttons.
ColumnLayout {
    spacing: 18

    Rectangle {
        objectName: "dashboardBanner"
        visible: appModel.hasBanner
        Layout.fillWidth: true
        implicitHeight: bannerText.implicitHeight + 20
        radius: 8
        color: Qt.rgba(Theme.accent.r, Theme.accent.g, Theme.accent.b, 0.12)
        Label {
            id: bannerText
            objectName: "dashboardBannerText"
            anchors.fill: parent
            anchors.margins: 10
            text: appModel.banner
            font: Theme.callout
            color: Theme.primary
            wrapMode: Text.Wrap
            verticalAlignment: Text.AlignVCenter
        }
    }

    RowLayout {
        spacing: 10
        Rectangle {
            objectName: "statusDot"
            implicitWidth: 12
            implicitHeight: 12
            radius: 6
            color: appModel.fullyReady ? Theme.green : appModel.registered ? Theme.orange : Theme.gray
        }
        Label {
            objectName: "statusText"
            text: appModel.fullyReady ? "Online & ready to control"
                : appModel.registered ? "Registered — needs setup below" : "Not registered"
            font: Theme.headline
            color: Theme.primary
        }
    }

    Label {
        objectName: "hostMissingNote"
        visible: !appModel.hostInstalled
        Layout.fillWidth: true
        text: "The background host isn't installed. Reinstall Corvello from "
              + hostControl.websiteHost + "."
        font: Theme.callout
        color: Theme.secondary
        wrapMode: Text.Wrap
    }

    ColumnLayout {
        visible: !appModel.registered
        Layout.fillWidth: true
        spacing: 14
        Label {
            objectName: "notLinkedText"
            text: "This Mac isn't linked to an account yet."
            font: Theme.body
            color: Theme.secondary
        }
        ProminentButton {
            objectName: "signInButton"
            Layout.fillWidth: true
            controlHeight: Theme.largeButtonHeight
            text: "Sign in & register this computer"
            font: Theme.headline
            onClicked: appModel.startSignIn()
        }
    }

    ColumnLayout {
        visible: appModel.registered
        Layout.fillWidth: true
        spacing: 12

        RowLayout {
            Layout.fillWidth: true
            Label {
                objectName: "thisComputerLabel"
                text: "This computer"
                font: Theme.body
                color: Theme.primary
            }
            Item { Layout.fillWidth: true }
            Label {
                objectName: "thisComputerValue"
                text: appModel.deviceName !== "" ? appModel.deviceName : "registered"
                font: Theme.body
                color: Theme.secondary
                elide: Text.ElideMiddle
                Layout.maximumWidth: 260
            }
        }
        Divider { Layout.fillWidth: true }
        StatusRow {
            objectName: "agentRow"
            label: "Agent"
            ok: appModel.agentRunning
            okText: "running"
            badText: "stopped"
            actionText: "Start"
            onAction: appModel.restartAgent()
        }
        StatusRow {
            objectName: "screenRow"
            label: "Screen Recording"
            ok: appModel.hasScreenRecording
            okText: "granted"
            badText: "not granted"
            actionText: "Grant"
            onAction: hostControl.openScreenRecordingPane()
        }
        StatusRow {
            objectName: "accessibilityRow"
            label: "Accessibility (control)"
            ok: appModel.hasAccessibility
            okText: "granted"
            badText: "not granted"
            actionText: "Grant"
            onAction: hostControl.openAccessibilityPane()
        }
        Label {
            objectName: "permissionsNote"
            visible: !(appModel.hasScreenRecording && appModel.hasAccessibility)
            Layout.fillWidth: true
            text: "After turning a switch on in System Settings, come back — this updates on its own."
            font: Theme.footnote
            color: Theme.secondary
            wrapMode: Text.Wrap
        }
    }

    Item { Layout.fillHeight: true }

    Divider { Layout.fillWidth: true }

    RowLayout {
        Layout.fillWidth: true
        PushButton {
            objectName: "reregisterButton"
            text: "Re-register"
            enabled: appModel.hostInstalled
            onClicked: appModel.startSignIn()
        }
        PushButton {
            objectName: "updateButton"
            text: "Update"
            enabled: appModel.hostInstalled
            onClicked: appModel.update()
        }
        Item { Layout.fillWidth: true }
        PushButton {
            objectName: "uninstallButton"
            text: "Uninstall"
            destructive: true
            onClicked: appModel.confirmingUninstall = true
        }
    }

    Label {
        objectName: "versionText"
        text: "Version " + hostControl.appVersion
        font: Theme.small
        color: Theme.secondary
    }
}
