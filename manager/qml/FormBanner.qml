import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The forms' warning box: the model's banner on a light orange rounded box; nothing when
// there is no banner.
Rectangle {
    id: box
    objectName: "formBanner"
    property bool shown: appModel.hasBanner
    property string text: appModel.banner

    visible: shown
    Layout.fillWidth: true
    implicitHeight: label.implicitHeight + 16
    radius: 6
    color: Qt.rgba(Theme.orange.r, Theme.orange.g, Theme.orange.b, 0.15)

    Label {
        id: label
        objectName: "formBannerText"
        anchors.fill: parent
        anchors.margins: 8
        text: box.text
        font: Theme.callout
        color: Theme.primary
        wrapMode: Text.Wrap
        horizontalAlignment: Text.AlignLeft
        verticalAlignment: Text.AlignVCenter
    }
}
