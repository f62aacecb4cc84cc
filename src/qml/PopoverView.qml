import QtQuick
import Corvanta

// The popover: the login panel while signed out, the main panel while signed in.
Rectangle {
    id: popover

    required property QtObject model
    signal openLocations()
    // Escape: the shell hides the popover (where it is one).
    signal dismiss()
    // The shell pops up the tray's menu (start at login, diagnostics, ...).
    signal openMenu()

    // Run each time the popover comes on screen.
    function appeared() {
        model.refreshStatus()
        if (model.regionCount === 0)
            model.startLoadRegions()
        model.loadAccountIfStale()
    }

    // Keys come up from the focused item inside; the Loader passes the focus on.
    Keys.onEscapePressed: dismiss()
    Accessible.role: Accessible.Pane
    Accessible.name: "corvanta"

    color: CV.bg
    width: 308
    implicitWidth: 308
    implicitHeight: content.implicitHeight

    Loader {
        id: content
        objectName: "content"
        width: parent.width
        focus: true
        // A Loader, so a sign-out brings back a fresh login panel.
        sourceComponent: popover.model.isAuthed ? mainPanel : loginPanel
    }
    Component {
        id: loginPanel
        LoginPanel { objectName: "loginPanel"; model: popover.model }
    }
    Component {
        id: mainPanel
        MainPanel {
            objectName: "mainPanel"
            model: popover.model
            onOpenLocations: popover.openLocations()
            onOpenMenu: popover.openMenu()
        }
    }
}
