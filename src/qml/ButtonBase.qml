import QtQuick

// Every button's base: `contentItem` inside the padding, over a `background` that
// fills the button. A click, or Space or Return while it has keyboard focus,
// emits clicked(). Plain Qt Quick on purpose: a control library's plugin cost a
// tenth of the client's start-up.
Item {
    id: control

    property string text
    property Item contentItem
    property Item background
    property real padding: 0
    property real horizontalPadding: padding
    property real verticalPadding: padding
    property real leftPadding: horizontalPadding
    property real rightPadding: horizontalPadding
    property real topPadding: verticalPadding
    property real bottomPadding: verticalPadding
    // Only the keyboard gives a button focus (a click does not), so focus always shows.
    readonly property bool visualFocus: activeFocus
    readonly property bool pressed: mouse.pressed

    signal clicked()

    activeFocusOnTab: true
    implicitWidth: Math.max(background ? background.implicitWidth : 0,
                            (contentItem ? contentItem.implicitWidth : 0) + leftPadding + rightPadding)
    implicitHeight: Math.max(background ? background.implicitHeight : 0,
                             (contentItem ? contentItem.implicitHeight : 0) + topPadding + bottomPadding)

    Accessible.role: Accessible.Button
    Accessible.focusable: true
    // Assistive tools press buttons directly, so the enabled check is ours; a held
    // key presses once.
    Accessible.onPressAction: if (control.enabled) control.clicked()
    Keys.onSpacePressed: (event) => { if (!event.isAutoRepeat) control.clicked() }
    Keys.onReturnPressed: (event) => { if (!event.isAutoRepeat) control.clicked() }
    Keys.onEnterPressed: (event) => { if (!event.isAutoRepeat) control.clicked() }

    MouseArea {
        id: mouse
        anchors.fill: parent
        onClicked: control.clicked()
    }

    onBackgroundChanged: {
        if (!background)
            return
        background.parent = control
        background.z = -1
        background.anchors.fill = control
    }
    onContentItemChanged: {
        if (!contentItem)
            return
        contentItem.parent = control
        contentItem.x = Qt.binding(() => control.leftPadding)
        contentItem.y = Qt.binding(() => control.topPadding)
        contentItem.width = Qt.binding(() => control.width - control.leftPadding - control.rightPadding)
        contentItem.height = Qt.binding(() => control.height - control.topPadding - control.bottomPadding)
    }
}
