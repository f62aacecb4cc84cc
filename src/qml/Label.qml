import QtQuick

// Text for people to read: never markup, whatever it holds, and read out by
// assistive tools (a bare Text is not).
Text {
    textFormat: Text.PlainText
    Accessible.role: Accessible.StaticText
    Accessible.name: text
}
