import QtQuick
import QtQuick.Layouts
import Corvanta

// The full-width action button: filled with `color`, or outlined in it.
ButtonBase {
    id: control

    required property string title
    property color color: CV.accent
    property bool filled: true

    implicitWidth: 120
    implicitHeight: label.implicitHeight + 20
    Layout.fillWidth: true
    Accessible.name: title

    contentItem: Text {
        id: label
        text: control.title
        textFormat: Text.PlainText
        font.pixelSize: 14
        font.weight: Font.DemiBold
        color: control.filled ? CV.bg : control.color
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }

    background: Rectangle {
        radius: 10
        color: control.filled ? control.color : "transparent"
        border.width: control.filled ? 0 : 1
        border.color: control.color
        // Keyboard focus shows as a brighter ring.
        Rectangle {
            anchors.fill: parent
            anchors.margins: -3
            radius: 13
            color: "transparent"
            border.width: 2
            border.color: CV.accent
            opacity: 0.6
            visible: control.visualFocus
        }
    }
}
