import QtQuick
import QtQuick.Shapes

// "display": a monitor on a stand, drawn as vector outlines.
Item {
    id: icon
    property color color: Theme.accent
    implicitWidth: Theme.iconSize
    implicitHeight: Theme.iconSize

    // Drawn on a 24 x 24 grid and scaled to the icon's size.
    Shape {
        width: 24
        height: 24
        layer.enabled: true
        layer.samples: 4
        scale: icon.width / 24
        transformOrigin: Item.TopLeft
        ShapePath {
            strokeColor: icon.color
            strokeWidth: 2
            fillColor: "transparent"
            capStyle: ShapePath.RoundCap
            joinStyle: ShapePath.RoundJoin
            PathSvg { path: "M4 4.5 H20 Q21.5 4.5 21.5 6 V15 Q21.5 16.5 20 16.5 H4 Q2.5 16.5 2.5 15 V6 Q2.5 4.5 4 4.5 Z" }
        }
        ShapePath {
            strokeColor: icon.color
            strokeWidth: 2
            fillColor: "transparent"
            capStyle: ShapePath.RoundCap
            PathSvg { path: "M8.5 20.5 H15.5 M12 16.5 V20.5" }
        }
    }
}
