pragma Singleton
import QtQuick

// The one place where the product's semantic text styles and colours (named after the macOS
// ones) become concrete values on Linux. The controls use Qt Quick Controls' Fusion style with
// the Inter font and the light palette set in manager_window.cc; the values below match it.
//
//   product style        Linux (Inter, pixels)      product colour   Linux
//   title 2 (bold)       20, bold                   primary          #1d1d1f (palette text)
//   title 3 (bold)       17, bold                   secondary        #6e6e73
//   headline             15, semibold               accent           #2563eb (palette highlight)
//   body                 14, regular                green            #1fa347
//   callout              13, regular                orange           #f08c00
//   footnote             12, regular                gray             #8e8e93
//   system 10            11, regular                window           #f5f5f7 (palette window)
//   system 20 semibold   20 px icon                 destructive      #d70015
QtObject {
    readonly property string family: "Inter"

    readonly property font title2: Qt.font({ family: family, pixelSize: 20, weight: Font.Bold })
    readonly property font title3: Qt.font({ family: family, pixelSize: 17, weight: Font.Bold })
    readonly property font headline: Qt.font({ family: family, pixelSize: 15, weight: Font.DemiBold })
    readonly property font body: Qt.font({ family: family, pixelSize: 14 })
    readonly property font callout: Qt.font({ family: family, pixelSize: 13 })
    readonly property font footnote: Qt.font({ family: family, pixelSize: 12 })
    readonly property font small: Qt.font({ family: family, pixelSize: 11 })
    readonly property int iconSize: 20

    readonly property color primary: "#1d1d1f"
    readonly property color secondary: "#6e6e73"
    readonly property color accent: "#2563eb"
    readonly property color green: "#1fa347"
    readonly property color orange: "#f08c00"
    readonly property color gray: "#8e8e93"
    readonly property color white: "#ffffff"
    readonly property color windowBackground: "#f5f5f7"
    readonly property color divider: "#d9d9de"
    readonly property color destructive: "#d70015"
    readonly property color disabledText: "#a1a1a6"

    // Sizes the screens share.
    readonly property int screenPadding: 20
    readonly property int largeButtonHeight: 40
    readonly property int smallButtonHeight: 26
}
