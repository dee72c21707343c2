import QtQuick
import QtQuick.Shapes

// "checkmark.circle.fill": a filled circle with a white check mark.
Item {
    id: icon
    property color color: Theme.green
    implicitWidth: 18
    implicitHeight: 18

    // Drawn on a 24 x 24 grid and scaled to the icon's size.
    Shape {
        width: 24
        height: 24
        layer.enabled: true
        layer.samples: 4
        scale: icon.width / 24
        transformOrigin: Item.TopLeft
        ShapePath {
            strokeColor: "transparent"
            fillColor: icon.color
            PathSvg { path: "M1 12 A11 11 0 1 1 23 12 A11 11 0 1 1 1 12 Z" }
        }
        ShapePath {
            strokeColor: Theme.white
            strokeWidth: 2.4
            fillColor: "transparent"
            capStyle: ShapePath.RoundCap
            joinStyle: ShapePath.RoundJoin
            PathSvg { path: "M7 12.5 L10.5 16 L17 8.5" }
        }
    }
}
