import QtQuick
import Corvanta

// A plain text button: just its words, in one colour.
ButtonBase {
    id: control

    property color color: CV.textDim
    property int pixelSize: CV.caption2
    property int weight: Font.Normal

    padding: 2
    Accessible.name: text
    contentItem: Text {
        text: control.text
        textFormat: Text.PlainText
        color: control.color
        font.pixelSize: control.pixelSize
        font.weight: control.weight
        font.underline: control.visualFocus
        horizontalAlignment: Text.AlignHCenter
    }
    background: null
}
