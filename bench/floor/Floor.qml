import QtQuick

Rectangle {
    width: 308
    height: 440
    color: "#0A1226"
    Text {
        anchors.centerIn: parent
        text: "corvanta"
        color: "#E8EEF6"
    }
}
