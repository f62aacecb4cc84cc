import QtQuick
import QtQuick.Layouts
import Corvanta

// One location: flag, country over city, and a checkmark when it is the chosen one.
ButtonBase {
    id: row

    required property string flag
    required property string country
    required property string city
    property bool selected: false
    property bool soon: false      // shows "soon" instead of nothing when not chosen
    // The list's keyboard cursor is on this row (the list takes the keys, not the row).
    property bool current: false

    Accessible.name: country + ", " + city + (soon ? ", coming soon" : "")
    Accessible.checkable: true
    Accessible.checked: selected
    Accessible.selected: selected
    activeFocusOnTab: false
    verticalPadding: 6
    horizontalPadding: 9

    contentItem: RowLayout {
        spacing: 10
        Text {
            text: row.flag
            textFormat: Text.PlainText
            Accessible.ignored: true
            font.pixelSize: CV.title3
            color: CV.text
        }
        ColumnLayout {
            spacing: 0
            Layout.fillWidth: true
            Text {
                objectName: "country"
                text: row.country
                textFormat: Text.PlainText
                Accessible.ignored: true
                color: CV.text
                font.pixelSize: 13
                font.weight: Font.Medium
                elide: Text.ElideRight
                Layout.fillWidth: true
            }
            Text {
                objectName: "city"
                text: row.city
                textFormat: Text.PlainText
                Accessible.ignored: true
                color: CV.textDim
                font.pixelSize: 11
                elide: Text.ElideRight
                Layout.fillWidth: true
            }
        }
        Symbol {
            objectName: "check"
            visible: row.selected
            name: "checkmark.circle.fill"
            tint: CV.accent
            size: 16
        }
        Text {
            visible: row.soon && !row.selected
            text: "soon"
            color: CV.textDim
            font.pixelSize: CV.caption2
        }
    }
    background: Rectangle {
        radius: 8
        color: row.selected ? CV.panel2 : CV.panel
        border.width: row.selected ? 1 : 0.5
        border.color: row.selected ? CV.accent : CV.border
        // The keyboard cursor: a halo around the row, unlike the chosen row's outline.
        Rectangle {
            objectName: "focusRing"
            anchors.fill: parent
            anchors.margins: 2
            radius: 6
            color: "transparent"
            border.width: 2
            border.color: CV.text
            opacity: 0.7
            visible: row.current || row.visualFocus
        }
    }
}
