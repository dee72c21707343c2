import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The layout the three enrolment forms share: title, subtitle, the banner, the fields, and a
// row with "Back" and the primary button.
ColumnLayout {
    id: page
    property string title
    property string subtitle
    property string primaryText
    property string primaryName
    default property alias fields: fieldColumn.data
    signal primary()

    spacing: 14

    Label {
        objectName: "formTitle"
        text: page.title
        font: Theme.title2
        color: Theme.primary
    }
    Label {
        objectName: "formSubtitle"
        Layout.fillWidth: true
        text: page.subtitle
        font: Theme.callout
        color: Theme.secondary
        wrapMode: Text.Wrap
    }
    FormBanner {}
    ColumnLayout {
        id: fieldColumn
        Layout.fillWidth: true
        spacing: 10
    }
    RowLayout {
        Layout.fillWidth: true
        Layout.topMargin: 4
        PushButton {
            objectName: "backButton"
            text: "Back"
            onClicked: appModel.cancelFlow()
        }
        Item { Layout.fillWidth: true }
        ProminentButton {
            objectName: page.primaryName
            text: page.primaryText
            onClicked: page.primary()
        }
    }
    Item { Layout.fillHeight: true }
}
