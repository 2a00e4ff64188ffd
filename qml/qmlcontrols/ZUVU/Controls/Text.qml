import QtQuick 2.0

// White text in the program's font, centred in its box.
Text {
    horizontalAlignment: Text.AlignHCenter
    verticalAlignment: Text.AlignVCenter
    font.family: appfont.name
    font.pixelSize: 16 * app.scaleFactor
    color: "white"
}
