import QtQuick
import QtQuick.Shapes

// "exclamationmark.triangle.fill": a filled rounded triangle with a white exclamation mark.
Item {
    id: icon
    property color color: Theme.orange
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
            strokeColor: icon.color
            strokeWidth: 2
            joinStyle: ShapePath.RoundJoin
            fillColor: icon.color
            PathSvg { path: "M12 2.5 L22.5 21 H1.5 Z" }
        }
        ShapePath {
            strokeColor: Theme.white
            strokeWidth: 2.4
            fillColor: "transparent"
            capStyle: ShapePath.RoundCap
            PathSvg { path: "M12 9 V14.5 M12 18 V18.2" }
        }
    }
}
