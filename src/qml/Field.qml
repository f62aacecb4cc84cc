import QtQuick
import QtQuick.Layouts
import Corvanta

// The framed text-entry field. `secure` masks what is typed. Plain Qt Quick (see
// ButtonBase): the frame and the hint are its own.
TextInput {
    id: field

    property bool secure: false
    property string placeholderText
    property color placeholderTextColor: CV.textDim
    readonly property Rectangle background: frame

    Layout.fillWidth: true
    echoMode: secure ? TextInput.Password : TextInput.Normal
    padding: 9
    verticalAlignment: TextInput.AlignVCenter
    clip: true
    color: CV.text
    selectionColor: CV.accent
    selectedTextColor: CV.bg
    selectByMouse: true
    activeFocusOnTab: true
    font.pixelSize: CV.body
    // What the field is for; the placeholder is only an example.
    property string label
    Accessible.name: label
    Accessible.description: placeholderText

    Rectangle {
        id: frame
        z: -1
        anchors.fill: parent
        radius: 8
        color: CV.panel
        border.width: 1
        border.color: field.activeFocus ? CV.accent : CV.border
    }

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
}
