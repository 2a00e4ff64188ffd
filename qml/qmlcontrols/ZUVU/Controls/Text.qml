import QtQuick 2.0
import ZUVU.Controls 1.0 as ZUVU

// White text in the program's font, centred in its box.
Text {
    horizontalAlignment: Text.AlignHCenter
    verticalAlignment: Text.AlignVCenter
    font.family: ZUVU.Theme.fontFamily
    font.pixelSize: 16 * ZUVU.Theme.scaleFactor
    color: "white"
}
