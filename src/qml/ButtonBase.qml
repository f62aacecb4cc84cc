import QtQuick
import QtQuick.Templates as T

// Every button's base: the bare template, sized by its content and background.
// (The template alone has no natural size; a styled control set would add one,
// at a start-up cost we do not need.)
T.AbstractButton {
    implicitWidth: Math.max(implicitBackgroundWidth + leftInset + rightInset,
                            implicitContentWidth + leftPadding + rightPadding)
    implicitHeight: Math.max(implicitBackgroundHeight + topInset + bottomInset,
                             implicitContentHeight + topPadding + bottomPadding)
}
