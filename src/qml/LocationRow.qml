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

    Accessible.name: country + ", " + city
    verticalPadding: 6
    horizontalPadding: 9

    contentItem: RowLayout {
        spacing: 10
        Text {
            text: row.flag
            font.pixelSize: CV.title3
            color: CV.text
        }
        ColumnLayout {
            spacing: 0
            Layout.fillWidth: true
            Text {
                text: row.country
                color: CV.text
                font.pixelSize: 13
                font.weight: Font.Medium
                elide: Text.ElideRight
                Layout.fillWidth: true
            }
            Text {
                text: row.city
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
        border.width: row.selected || row.visualFocus ? 1 : 0.5
        border.color: row.selected || row.visualFocus ? CV.accent : CV.border
    }
}
