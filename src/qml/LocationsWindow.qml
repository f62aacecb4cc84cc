import QtQuick
import QtQuick.Layouts
import Corvanta

// Every location, available first, then coming soon. A pick sets the model's
// chosen location and closes the window.
Rectangle {
    id: window

    required property QtObject model
    // Asks the shell to close the window.
    signal dismiss()

    readonly property bool locked: ["connected", "connecting", "provisioning"].indexOf(model.stateName) >= 0

    color: CV.bg
    implicitWidth: 360
    implicitHeight: 480

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        Text {
            Layout.margins: 16
            text: "All locations"
            color: CV.text
            font.pixelSize: 16
            font.weight: Font.DemiBold
        }
        Rectangle { Layout.fillWidth: true; implicitHeight: 1; color: CV.border }

        ListView {
            id: list
            objectName: "locationList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            spacing: 4
            topMargin: 16
            bottomMargin: 16
            leftMargin: 16
            rightMargin: 16
            boundsBehavior: Flickable.StopAtBounds
            model: RegionListModel { source: window.model }
            section.property: "section"
            section.delegate: Text {
                required property string section
                objectName: "section_" + section
                // The stack's 16 between sections and titles, less the rows' own 4.
                topPadding: list.count > 0 && section === "COMING SOON" ? 12 : 0
                bottomPadding: 12
                text: section
                color: CV.textDim
                font.pixelSize: 10
                font.weight: Font.DemiBold
                font.letterSpacing: 0.6
            }
            delegate: LocationRow {
                required property string regionId
                required property bool online
                required property var region
                objectName: "row_" + regionId
                width: ListView.view.width - 32
                verticalPadding: 7
                horizontalPadding: 10
                soon: !online
                selected: window.model.selected !== undefined && window.model.selected.id === regionId
                enabled: online && !window.locked
                opacity: online ? 1.0 : 0.5
                onClicked: {
                    window.model.selected = region
                    window.dismiss()
                }
            }
        }
    }
}
