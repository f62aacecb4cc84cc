import QtQuick
import QtQuick.Layouts
import QtQuick.Templates as T
import Corvanta

// The framed text-entry field. `secure` masks what is typed.
// Built on the bare template: a styled control set costs start-up time we do not need.
T.TextField {
    id: field

    property bool secure: false

    Layout.fillWidth: true
    implicitWidth: Math.max(contentWidth, placeholder.implicitWidth) + leftPadding + rightPadding
    implicitHeight: Math.max(contentHeight, placeholder.implicitHeight) + topPadding + bottomPadding
    echoMode: secure ? TextInput.Password : TextInput.Normal
    padding: 9
    verticalAlignment: TextInput.AlignVCenter
    color: CV.text
    placeholderTextColor: CV.textDim
    selectionColor: CV.accent
    selectedTextColor: CV.bg
    selectByMouse: true
    font.pixelSize: CV.body
    Accessible.name: placeholderText

    Text {
        id: placeholder
        objectName: "placeholder"
        x: field.leftPadding
        y: field.topPadding
        width: field.width - field.leftPadding - field.rightPadding
        height: field.height - field.topPadding - field.bottomPadding
        text: field.placeholderText
        textFormat: Text.PlainText
        font: field.font
        color: field.placeholderTextColor
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
        visible: field.length === 0 && field.preeditText.length === 0
    }

    background: Rectangle {
        radius: 8
        color: CV.panel
        border.width: 1
        border.color: field.activeFocus ? CV.accent : CV.border
    }
}
