import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic as T
import Corvanta

// The framed text-entry field. `secure` masks what is typed.
T.TextField {
    id: field

    property bool secure: false

    Layout.fillWidth: true
    echoMode: secure ? TextInput.Password : TextInput.Normal
    padding: 9
    color: CV.text
    placeholderTextColor: CV.textDim
    selectionColor: CV.accent
    selectedTextColor: CV.bg
    font.pixelSize: CV.body
    Accessible.name: placeholderText
    background: Rectangle {
        radius: 8
        color: CV.panel
        border.width: 1
        border.color: field.activeFocus ? CV.accent : CV.border
    }
}
