import QtQuick
import Corvanta

// One of our symbols, tinted.
Image {
    required property string name
    property color tint: CV.text
    property int size: 16

    source: "image://symbol/" + name + "?color=" + encodeURIComponent(tint.toString())
    sourceSize: Qt.size(size * Screen.devicePixelRatio, size * Screen.devicePixelRatio)
    width: size
    height: size
    fillMode: Image.PreserveAspectFit
    smooth: true
}
