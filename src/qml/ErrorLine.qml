import QtQuick
import QtQuick.Layouts
import Corvanta

// The last error, in the danger colour, across the full width; assistive tools
// announce it when it appears.
Label {
    Accessible.role: Accessible.AlertMessage
    Layout.fillWidth: true
    wrapMode: Text.Wrap
    horizontalAlignment: Text.AlignLeft
    color: CV.danger
    font.pixelSize: CV.caption
}
