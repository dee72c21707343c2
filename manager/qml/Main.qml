import QtQuick
import QtQuick.Controls

ApplicationWindow {
    width: 460
    height: 560
    visible: true
    Label { anchors.centerIn: parent; text: "Corvello" }
}
