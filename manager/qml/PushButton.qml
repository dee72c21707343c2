import QtQuick
import QtQuick.Controls

// A standard button. Its label is plain text, so "&" shows as itself rather than marking a
// keyboard mnemonic; `destructive` paints it in the destructive colour.
Button {
    id: control
    property bool destructive: false

    contentItem: Text {
        text: control.text
        font: control.font
        textFormat: Text.PlainText
        color: !control.enabled ? Theme.disabledText
             : control.destructive ? Theme.destructive : Theme.primary
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }
}
