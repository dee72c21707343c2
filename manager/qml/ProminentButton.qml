import QtQuick
import QtQuick.Controls

// The screen's primary action: filled with the accent colour, white label.
Button {
    id: control
    property int controlHeight: 26

    font.weight: Font.DemiBold
    leftPadding: 14
    rightPadding: 14

    contentItem: Text {
        text: control.text
        font: control.font
        textFormat: Text.PlainText
        color: Theme.white
        opacity: control.enabled ? 1 : 0.7
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }

    background: Rectangle {
        implicitWidth: 80
        implicitHeight: control.controlHeight
        radius: 5
        color: !control.enabled ? Qt.lighter(Theme.accent, 1.5)
             : control.down ? Qt.darker(Theme.accent, 1.2)
             : control.hovered ? Qt.lighter(Theme.accent, 1.08) : Theme.accent
        border.width: control.visualFocus ? 2 : 1
        border.color: control.visualFocus ? Qt.darker(Theme.accent, 1.6) : Qt.darker(Theme.accent, 1.15)
    }
}
