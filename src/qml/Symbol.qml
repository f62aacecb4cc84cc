import QtQuick
import Corvanta

// One of our symbols, tinted, at its logical size whatever the screen's scale (an
// image's own implicit size is its size in pixels).
Item {
    id: symbol

    required property string name
    property color tint: CV.text
    property int size: 16
    readonly property alias status: image.status

    implicitWidth: size
    implicitHeight: size
    Accessible.ignored: true // decoration: the texts beside it say what it means

    Image {
        id: image
        anchors.fill: parent
        source: "image://symbol/" + symbol.name + "?color=" + encodeURIComponent(symbol.tint.toString())
        sourceSize: Qt.size(symbol.size * Screen.devicePixelRatio, symbol.size * Screen.devicePixelRatio)
        fillMode: Image.PreserveAspectFit
        smooth: true
    }
}
