import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A long operation in progress: a spinner and its message, no controls.
ColumnLayout {
    property string message
    spacing: 16

    Item { Layout.fillHeight: true }
    BusyIndicator {
        objectName: "spinner"
        Layout.alignment: Qt.AlignHCenter
        implicitWidth: 48
        implicitHeight: 48
        running: true
    }
    Label {
        objectName: "workingMessage"
        Layout.alignment: Qt.AlignHCenter
        text: parent.message
        font: Theme.body
        color: Theme.secondary
    }
    Item { Layout.fillHeight: true }
}
