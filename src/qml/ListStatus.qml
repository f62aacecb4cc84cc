import QtQuick
import QtQuick.Layouts
import Corvanta

// Stands in for an empty locations list: loading, the failure with a way to try
// again, or simply nothing there.
ColumnLayout {
    id: status

    required property QtObject model

    visible: model.regionCount === 0
    spacing: 6

    Item { Layout.fillHeight: true }
    Label {
        objectName: "listStatus"
        Layout.fillWidth: true
        horizontalAlignment: Text.AlignHCenter
        wrapMode: Text.Wrap
        text: status.model.loadingRegions ? "Loading locations…"
            : status.model.regionsFailed ? "Could not load the locations."
            : "No locations yet."
        color: status.model.regionsFailed ? CV.danger : CV.textDim
        font.pixelSize: CV.caption
        Accessible.role: status.model.regionsFailed ? Accessible.AlertMessage : Accessible.StaticText
    }
    TextButton {
        objectName: "retry"
        Layout.alignment: Qt.AlignHCenter
        visible: status.model.regionsFailed && !status.model.loadingRegions
        text: "Retry"
        color: CV.accent
        pixelSize: 12
        weight: Font.Medium
        onClicked: status.model.startLoadRegions()
    }
    Item { Layout.fillHeight: true }
}
