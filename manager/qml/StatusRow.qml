import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// One line of the dashboard: a check mark or a warning, the label, the state in words, and
// (only when not ok) a small button.
RowLayout {
    id: row
    property string label
    property bool ok
    property string okText
    property string badText
    property string actionText  // empty: no button
    signal action()

    spacing: 8
    Layout.fillWidth: true

    CheckIcon {
        objectName: row.objectName + "Check"
        visible: row.ok
    }
    WarningIcon {
        objectName: row.objectName + "Warning"
        visible: !row.ok
    }
    Label {
        objectName: row.objectName + "Label"
        text: row.label
        font: Theme.body
        color: Theme.primary
    }
    Item { Layout.fillWidth: true }
    Label {
        objectName: row.objectName + "State"
        text: row.ok ? row.okText : row.badText
        font: Theme.callout
        color: Theme.secondary
    }
    PushButton {
        objectName: row.objectName + "Button"
        visible: !row.ok && row.actionText !== ""
        text: row.actionText
        font: Theme.footnote
        implicitHeight: Theme.smallButtonHeight
        leftPadding: 10
        rightPadding: 10
        onClicked: row.action()
    }
}
