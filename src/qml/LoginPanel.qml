import QtQuick
import QtQuick.Layouts
import Corvanta

// Sign in with e-mail and password (or create an account), with Google, or with
// company single sign-on. The typed texts and the two switches are the panel's own.
// The e-mail field of the visible form takes the keyboard; Return submits the form.
FocusScope {
    id: panel

    required property QtObject model
    property bool signUp: false
    property bool ssoMode: false
    focus: true
    readonly property bool hasError: model.errorMsg !== undefined

    onSsoModeChanged: (ssoMode ? workEmail : email).forceActiveFocus()

    function submit() {
        const button = ssoMode ? ssoPrimary : passwordPrimary
        if (button.enabled)
            button.clicked()
    }

    // While a browser sign-in waits: where to look, and the way back.
    component BrowserWaiting: ColumnLayout {
        visible: panel.model.browserSignInWaiting
        Layout.alignment: Qt.AlignHCenter
        spacing: 4
        Label {
            objectName: "browserWaiting"
            Layout.alignment: Qt.AlignHCenter
            text: "Continue in your browser"
            color: CV.text
            font.pixelSize: 12
        }
        RowLayout {
            Layout.alignment: Qt.AlignHCenter
            spacing: 6
            TextButton {
                objectName: "reopenBrowser"
                text: "Open the page again"
                color: CV.accent
                onClicked: panel.model.reopenBrowserSignIn()
            }
            Text { text: "·"; color: CV.textDim; Accessible.ignored: true }
            TextButton {
                objectName: "cancelBrowser"
                text: "Cancel"
                onClicked: panel.model.cancelBrowserSignIn()
            }
        }
    }

    implicitWidth: 308
    implicitHeight: column.implicitHeight + 32

    // One half of the "Log in" / "Sign up" switch.
    component Segment: ButtonBase {
        id: segment
        required property bool value
        readonly property bool chosen: value === panel.signUp
        Layout.fillWidth: true
        // Unlike the submit button's name, which reads the same.
        Accessible.name: text + " mode"
        Accessible.role: Accessible.PageTab
        Accessible.checkable: true
        Accessible.checked: chosen
        topPadding: 7
        bottomPadding: 7
        contentItem: Text {
            text: segment.text
            color: segment.chosen ? CV.accent : CV.textDim
            font.pixelSize: 13
            font.weight: Font.Medium
            horizontalAlignment: Text.AlignHCenter
        }
        background: Rectangle {
            radius: 7
            color: segment.chosen ? Qt.rgba(CV.accent.r, CV.accent.g, CV.accent.b, 0.18) : "transparent"
            border.width: segment.visualFocus ? 1 : 0
            border.color: CV.accent
        }
        onClicked: panel.signUp = value
    }

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 16
        spacing: 14

        ColumnLayout {
            Layout.alignment: Qt.AlignHCenter
            Layout.topMargin: 4
            spacing: 3
            Symbol {
                Layout.alignment: Qt.AlignHCenter
                name: "shield.lefthalf.filled"
                tint: CV.accent
                size: 28
            }
            Text {
                Layout.alignment: Qt.AlignHCenter
                text: "corvanta"
                Accessible.role: Accessible.Heading
                Accessible.name: text
                color: CV.text
                font.pixelSize: 18
                font.bold: true
            }
            Label {
                Layout.alignment: Qt.AlignHCenter
                text: "private, encrypted internet"
                color: CV.textDim
                font.pixelSize: CV.caption
            }
        }

        // The password form.
        ColumnLayout {
            visible: !panel.ssoMode
            spacing: 14
            Layout.fillWidth: true

            Rectangle {
                objectName: "modeSwitch"
                Accessible.role: Accessible.PageTabList
                Accessible.name: "Log in or sign up"
                Layout.fillWidth: true
                implicitHeight: segments.implicitHeight + 8
                radius: 9
                color: CV.panel
                RowLayout {
                    id: segments
                    anchors.fill: parent
                    anchors.margins: 4
                    spacing: 6
                    Segment { objectName: "logInSegment"; text: "Log in"; value: false }
                    Segment { objectName: "signUpSegment"; text: "Sign up"; value: true }
                }
            }

            Field {
                id: email
                objectName: "email"
                focus: true
                label: "E-mail"
                placeholderText: "you@example.com"
                onAccepted: panel.submit()
            }
            Field {
                id: password
                objectName: "password"
                label: "Password"
                placeholderText: "password"
                secure: true
                onAccepted: panel.submit()
            }
            ErrorLine {
                objectName: "passwordError"
                visible: panel.hasError
                text: panel.hasError ? panel.model.errorMsg : ""
            }
            PrimaryButton {
                id: passwordPrimary
                objectName: "passwordPrimary"
                title: panel.model.busy ? "Please wait…" : (panel.signUp ? "Create account" : "Log in")
                color: CV.accent
                enabled: !panel.model.busy && email.text.length > 0 && password.text.length > 0
                opacity: enabled ? 1.0 : 0.6
                onClicked: panel.signUp ? panel.model.startRegister(email.text, password.text)
                                        : panel.model.startLogin(email.text, password.text)
            }
            RowLayout {
                spacing: 8
                Rectangle { Layout.fillWidth: true; implicitHeight: 1; color: CV.border }
                Text { text: "or"; color: CV.textDim; font.pixelSize: CV.caption2; Accessible.ignored: true }
                Rectangle { Layout.fillWidth: true; implicitHeight: 1; color: CV.border }
            }
            ButtonBase {
                id: google
                objectName: "google"
                text: "Continue with Google"
                Layout.fillWidth: true
                Accessible.name: text
                enabled: !panel.model.busy
                opacity: enabled ? 1.0 : 0.6
                topPadding: 9
                bottomPadding: 9
                contentItem: Item {
                    implicitHeight: googleRow.implicitHeight
                    RowLayout {
                        id: googleRow
                        anchors.centerIn: parent
                        spacing: 8
                        Symbol { name: "globe"; tint: CV.text; size: 14 }
                        Text {
                            text: google.text
                            color: CV.text
                            font.pixelSize: 13
                            font.weight: Font.Medium
                        }
                    }
                }
                background: Rectangle {
                    radius: 9
                    color: CV.panel
                    border.width: 1
                    border.color: google.visualFocus ? CV.accent : CV.border
                }
                onClicked: panel.model.startLoginWithGoogle()
            }
            BrowserWaiting { objectName: "googleWaiting" }
            TextButton {
                objectName: "ssoLink"
                Layout.alignment: Qt.AlignHCenter
                text: "Use company SSO  →"
                color: CV.accent
                pixelSize: 12
                weight: Font.Medium
                onClicked: {
                    panel.model.clearError()
                    panel.ssoMode = true
                }
            }
        }

        // The company sign-on form.
        ColumnLayout {
            visible: panel.ssoMode
            spacing: 14
            Layout.fillWidth: true

            ColumnLayout {
                Layout.alignment: Qt.AlignHCenter
                spacing: 4
                Text {
                    Layout.alignment: Qt.AlignHCenter
                    text: "Company SSO"
                    Accessible.role: Accessible.Heading
                    Accessible.name: text
                    color: CV.text
                    font.pixelSize: 14
                    font.weight: Font.DemiBold
                }
                Label {
                    Layout.alignment: Qt.AlignHCenter
                    text: "Sign in with your work email"
                    color: CV.textDim
                    font.pixelSize: CV.caption
                }
            }
            Field {
                id: workEmail
                objectName: "workEmail"
                label: "Work e-mail"
                placeholderText: "you@company.com"
                onAccepted: panel.submit()
            }
            ErrorLine {
                objectName: "ssoError"
                visible: panel.hasError
                text: panel.hasError ? panel.model.errorMsg : ""
            }
            PrimaryButton {
                id: ssoPrimary
                objectName: "ssoPrimary"
                title: panel.model.busy ? "Please wait…" : "Continue with SSO"
                color: CV.accent
                enabled: !panel.model.busy && workEmail.text.length > 0
                opacity: enabled ? 1.0 : 0.6
                onClicked: panel.model.startLoginWithSSO(workEmail.text)
            }
            BrowserWaiting { objectName: "ssoWaiting" }
            TextButton {
                objectName: "back"
                Layout.alignment: Qt.AlignHCenter
                text: "←  Back"
                pixelSize: 12
                onClicked: {
                    panel.model.clearError()
                    panel.ssoMode = false
                }
            }
        }

        TextButton {
            objectName: "quit"
            Layout.alignment: Qt.AlignHCenter
            text: "Quit corvanta"
            onClicked: Qt.quit()
        }
    }
}
