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

    // Read-only while a connection is on its way or up, and while signed out.
    readonly property bool locked: ["connected", "connecting", "provisioning"].indexOf(model.stateName) >= 0
                                   || !model.isAuthed

    Keys.onEscapePressed: dismiss()
    Accessible.role: Accessible.Pane
    Accessible.name: "All locations"

    color: CV.bg
    implicitWidth: 360
    implicitHeight: 480

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        Text {
            Layout.margins: 16
            text: "All locations"
            Accessible.role: Accessible.Heading
            Accessible.name: text
            color: CV.text
            font.pixelSize: 16
            font.weight: Font.DemiBold
        }
        Rectangle { Layout.fillWidth: true; implicitHeight: 1; color: CV.border }

        ListStatus {
            Layout.fillWidth: true
            Layout.topMargin: 32
            model: window.model
        }

        ListView {
            id: list
            objectName: "locationList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            // The keyboard moves a cursor through the rows; Return or Space chooses.
            focus: true
            activeFocusOnTab: true
            keyNavigationEnabled: true
            Accessible.role: Accessible.List
            Accessible.name: "Locations"
            function chooseCurrent() {
                if (currentItem && currentItem.enabled)
                    currentItem.clicked()
            }
            Keys.onReturnPressed: chooseCurrent()
            Keys.onEnterPressed: chooseCurrent()
            Keys.onSpacePressed: chooseCurrent()
            spacing: 4
            topMargin: 16
            bottomMargin: 16
            leftMargin: 16
            rightMargin: 16
            boundsBehavior: Flickable.StopAtBounds
            model: RegionListModel { id: regionList; source: window.model }
            // The cursor starts on the chosen location.
            onCountChanged: {
                const row = window.model.selected !== undefined ? regionList.indexOf(window.model.selected.id) : -1
                if (row >= 0) {
                    currentIndex = row
                    positionViewAtIndex(row, ListView.Contain)
                }
            }
            section.property: "section"
            section.delegate: Text {
                required property string section
                objectName: "section_" + section
                // The stack's 16 between sections and titles, less the rows' own 4.
                topPadding: list.count > 0 && section === "COMING SOON" ? 12 : 0
                bottomPadding: 12
                text: section
                Accessible.role: Accessible.Heading
                Accessible.name: text
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
                current: ListView.isCurrentItem && list.activeFocus
                selected: window.model.selected !== undefined && window.model.selected.id === regionId
                enabled: online && !window.locked
                opacity: online ? 1.0 : 0.5
                onClicked: {
                    window.model.chooseRegion(region)
                    window.dismiss()
                }
            }
        }
    }
}
