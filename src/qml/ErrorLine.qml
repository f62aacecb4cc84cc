import QtQuick
import QtQuick.Layouts
import Corvanta

// The last error, in the danger colour, across the full width.
Text {
    Layout.fillWidth: true
    textFormat: Text.PlainText
    wrapMode: Text.Wrap
    horizontalAlignment: Text.AlignLeft
    color: CV.danger
    font.pixelSize: CV.caption
}
