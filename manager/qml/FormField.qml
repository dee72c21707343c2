import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A text field in the forms' rounded-border style.
TextField {
    Layout.fillWidth: true
    implicitHeight: 34
    font: Theme.body
    selectByMouse: true
}
