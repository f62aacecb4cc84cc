import QtQuick
import QtQuick.Layouts
import Corvanta

// The signed-in panel: connection status, locations, connect, billing, account.
Item {
    id: panel

    required property QtObject model
    // Asks the shell to show the locations window.
    signal openLocations()
    // Asks the shell for its menu: the window's way to what the tray menu offers.
    signal openMenu()

    readonly property string stateName: model.stateName
    readonly property bool connected: stateName === "connected"
    readonly property bool provisioning: stateName === "provisioning"
    readonly property bool working: stateName === "connecting" || provisioning
    readonly property var selected: model.selected
    readonly property var account: model.account
    readonly property string statusTitle: ({
        "disconnected": "Not connected", "connecting": "Connecting…", "provisioning": "Provisioning…",
        "connected": "Protected", "failed": "Not connected" })[stateName]
    readonly property string statusSubtitle: {
        if (connected) {
            const place = selected !== undefined ? selected.flag + " " + selected.city : ""
            const address = model.exitIP !== undefined ? " · " + model.exitIP : ""
            return "Exiting via " + place + address
        }
        return ({ "connecting": "Bringing up the encrypted tunnel",
                  "provisioning": "Spinning up your server…" })[stateName] ?? "Choose a location and connect"
    }

    implicitWidth: 308
    implicitHeight: layout.implicitHeight

    ColumnLayout {
        id: layout
        anchors.left: parent.left
        anchors.right: parent.right
        spacing: 0

        RowLayout {
            spacing: 7
            Layout.leftMargin: 16
            Layout.rightMargin: 16
            Layout.topMargin: 14
            Layout.bottomMargin: 10
            Symbol { name: "shield.lefthalf.filled"; tint: CV.accent; size: 16 }
            Text {
                text: "corvanta"
                color: CV.text
                font.pixelSize: 14
                font.weight: Font.DemiBold
                Accessible.role: Accessible.Heading
                Accessible.name: text
            }
            Item { Layout.fillWidth: true }
            Rectangle {
                objectName: "statusDot"
                width: 8
                height: 8
                radius: 4
                color: panel.connected ? CV.ok : CV.textDim
                Accessible.ignored: true // the status title says it in words
                // The glow of a live connection.
                Rectangle {
                    anchors.centerIn: parent
                    width: 16
                    height: 16
                    radius: 8
                    color: CV.ok
                    opacity: 0.25
                    visible: panel.connected
                }
            }
        }
        Rectangle { Layout.fillWidth: true; implicitHeight: 1; color: CV.border }

        ColumnLayout {
            spacing: 14
            Layout.margins: 16
            Layout.fillWidth: true

            ColumnLayout {
                objectName: "statusCard"
                spacing: 5
                Layout.topMargin: 12
                Layout.fillWidth: true
                Item {
                    Layout.alignment: Qt.AlignHCenter
                    implicitWidth: 36
                    implicitHeight: 36
                    Rectangle {
                        anchors.centerIn: parent
                        width: 40
                        height: 40
                        radius: 20
                        color: CV.ok
                        opacity: 0.12
                        visible: panel.connected
                    }
                    Symbol {
                        objectName: "statusSymbol"
                        anchors.centerIn: parent
                        name: panel.connected ? "lock.shield.fill" : "lock.open"
                        tint: panel.connected ? CV.ok : CV.textDim
                        size: 32
                    }
                }
                Label {
                    objectName: "statusTitle"
                    Layout.alignment: Qt.AlignHCenter
                    text: panel.statusTitle
                    color: panel.connected ? CV.ok : CV.text
                    font.pixelSize: 19
                    font.bold: true
                }
                Label {
                    objectName: "statusSubtitle"
                    Layout.fillWidth: true
                    text: panel.statusSubtitle
                    color: CV.textDim
                    font.pixelSize: CV.caption
                    wrapMode: Text.Wrap
                    horizontalAlignment: Text.AlignHCenter
                }
            }

            RowLayout {
                Layout.fillWidth: true
                Text {
                    text: "LOCATIONS"
                    Accessible.role: Accessible.Heading
                    Accessible.name: "Locations"
                    color: CV.textDim
                    font.pixelSize: 10
                    font.weight: Font.DemiBold
                    font.letterSpacing: 0.6
                }
                Item { Layout.fillWidth: true }
                ButtonBase {
                    id: allLink
                    objectName: "allLink"
                    text: "All " + panel.model.regionCount
                    Accessible.name: "All locations (" + panel.model.regionCount + ")"
                    contentItem: RowLayout {
                        spacing: 3
                        Text {
                            text: allLink.text
                            color: CV.accent
                            font.pixelSize: 11
                            font.underline: allLink.visualFocus
                        }
                        Symbol { name: "chevron.right"; tint: CV.accent; size: 9 }
                    }
                    background: null
                    onClicked: panel.openLocations()
                }
            }

            ListStatus {
                Layout.fillWidth: true
                Layout.preferredHeight: 150
                model: panel.model
            }

            ListView {
                id: list
                objectName: "locationList"
                visible: count > 0
                Layout.fillWidth: true
                Layout.preferredHeight: 150
                clip: true
                // The keyboard moves a cursor through the rows; Return or Space chooses.
                activeFocusOnTab: true
                keyNavigationEnabled: true
                Accessible.role: Accessible.List
                Accessible.name: "Locations"
                onActiveFocusChanged: {
                    const row = panel.selected !== undefined ? available.indexOf(panel.selected.id) : -1
                    if (activeFocus && row >= 0)
                        currentIndex = row
                }
                function chooseCurrent() {
                    if (currentItem && currentItem.enabled)
                        currentItem.clicked()
                }
                Keys.onReturnPressed: chooseCurrent()
                Keys.onEnterPressed: chooseCurrent()
                Keys.onSpacePressed: chooseCurrent()
                spacing: 4
                boundsBehavior: Flickable.StopAtBounds
                model: RegionListModel {
                    id: available
                    source: panel.model
                    onlineOnly: true
                }
                // Keep the chosen location in sight.
                function showChosen() {
                    const row = panel.selected !== undefined ? available.indexOf(panel.selected.id) : -1
                    if (row >= 0)
                        positionViewAtIndex(row, ListView.Contain)
                }
                onCountChanged: showChosen()
                Connections {
                    target: panel.model
                    function onSelectedChanged() { list.showChosen() }
                }
                delegate: LocationRow {
                    required property string regionId
                    required property var region
                    objectName: "row_" + regionId
                    width: ListView.view.width
                    selected: panel.selected !== undefined && panel.selected.id === regionId
                    current: ListView.isCurrentItem && list.activeFocus
                    enabled: !panel.connected && !panel.working
                    onClicked: panel.model.chooseRegion(region)
                }
            }

            // The current error, unless it is shown beside what failed (the list, billing).
            ErrorLine {
                objectName: "errorLine"
                readonly property string source: panel.model.errorSource
                visible: panel.model.errorMsg !== undefined && source !== "billing"
                         && !(source === "locations" && panel.model.regionCount === 0)
                text: visible ? panel.model.errorMsg : ""
            }

            PrimaryButton {
                objectName: "connectButton"
                title: panel.provisioning ? "Provisioning…" : panel.working ? "Connecting…"
                                          : panel.connected ? "Disconnect" : "Connect"
                color: panel.connected ? CV.danger : CV.accent
                filled: !panel.connected
                enabled: !panel.working && panel.selected !== undefined
                opacity: enabled ? 1.0 : 0.6
                onClicked: panel.model.toggle()
            }
            TextButton {
                objectName: "cancelConnect"
                Layout.alignment: Qt.AlignHCenter
                visible: panel.model.connectCancellable
                text: "Cancel"
                pixelSize: 12
                onClicked: panel.model.cancelConnect()
            }

            Rectangle {
                objectName: "billingRow"
                visible: panel.account !== undefined
                Layout.fillWidth: true
                implicitHeight: billing.implicitHeight + 14
                radius: 8
                color: CV.panel
                border.width: 0.5
                border.color: CV.border
                RowLayout {
                    id: billing
                    anchors.fill: parent
                    anchors.leftMargin: 10
                    anchors.rightMargin: 10
                    spacing: 8
                    Symbol { name: "bitcoinsign.circle.fill"; tint: CV.accent; size: 13 }
                    Label {
                        objectName: "balance"
                        text: panel.account === undefined ? ""
                              : panel.account.subscriptionActive ? "Subscription active"
                              : "Balance " + panel.model.dollars(panel.account.balanceCents)
                        color: CV.textDim
                        font.pixelSize: 12
                    }
                    Item { Layout.fillWidth: true }
                    TextButton {
                        objectName: "topUp"
                        text: "Top up"
                        color: CV.accent
                        pixelSize: 12
                        weight: Font.Medium
                        onClicked: panel.model.startTopUp(1000)
                    }
                    Text {
                        visible: subscribe.visible
                        text: "·"
                        color: CV.textDim
                        Accessible.ignored: true
                    }
                    TextButton {
                        id: subscribe
                        objectName: "subscribe"
                        visible: panel.account !== undefined && !panel.account.subscriptionActive
                        text: "Subscribe"
                        color: CV.accent
                        pixelSize: 12
                        weight: Font.Medium
                        onClicked: panel.model.startSubscribe()
                    }
                }
            }

            ErrorLine {
                objectName: "billingError"
                visible: panel.model.errorMsg !== undefined && panel.model.errorSource === "billing"
                text: visible ? panel.model.errorMsg : ""
            }

            RowLayout {
                Layout.fillWidth: true
                Label {
                    objectName: "footerEmail"
                    Layout.fillWidth: true
                    text: panel.model.email ?? ""
                    color: CV.textDim
                    font.pixelSize: CV.caption2
                    elide: Text.ElideMiddle
                    maximumLineCount: 1
                }
                TextButton {
                    objectName: "logOut"
                    text: "Log out"
                    onClicked: panel.model.logout()
                }
                Text { text: "·"; color: CV.textDim; Accessible.ignored: true }
                TextButton {
                    objectName: "more"
                    text: "More…"
                    Accessible.name: "More: start at login, diagnostics"
                    onClicked: panel.openMenu()
                }
                Text { text: "·"; color: CV.textDim; Accessible.ignored: true }
                TextButton {
                    objectName: "quit"
                    text: "Quit"
                    onClicked: Qt.quit()
                }
            }
        }
    }
}
