import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The app's name with its symbol, above every screen.
Item {
    implicitHeight: row.implicitHeight + 28

    RowLayout {
        id: row
        anchors.fill: parent
        anchors.leftMargin: 20
        anchors.rightMargin: 20
        anchors.topMargin: 14
        anchors.bottomMargin: 14
        spacing: 10

        DisplayIcon {
            objectName: "headerIcon"
            color: Theme.accent
        }
        Label {
            objectName: "headerTitle"
            text: "Corvello"
            font: Theme.title3
            color: Theme.primary
        }
        Item { Layout.fillWidth: true }
    }
}
