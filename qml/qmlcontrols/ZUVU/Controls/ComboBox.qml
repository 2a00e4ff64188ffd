import QtQuick 2.0
import ZUVU.Controls 1.0 as ZUVU
import QtQuick.Controls 2.0

// A drop-down list of strings in the program's look: white text on black,
// a white frame and no arrow.
ComboBox {
    id: cb

    font.family: ZUVU.Theme.fontFamily
    font.pixelSize: 16 * ZUVU.Theme.scaleFactor
    indicator: null

    background: Rectangle {
        anchors.fill: parent
        border.color: "white"
        color: "black"
    }

    contentItem: Text {
        text: cb.displayText
        font: cb.font
        color: "white"
        horizontalAlignment: Text.AlignLeft
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideNone
    }

    delegate: ItemDelegate {
        width: cb.width
        text: modelData
        font.family: ZUVU.Theme.fontFamily
        font.pixelSize: 16 * ZUVU.Theme.scaleFactor
        highlighted: false
        contentItem: Text {
            text: modelData
            font: cb.font
            color: "white"
            horizontalAlignment: Text.AlignLeft
            verticalAlignment: Text.AlignVCenter
            elide: Text.ElideNone
        }
    }

    Component.onCompleted: popup.background.color = "black"
}
