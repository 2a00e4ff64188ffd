import QtQuick 2.0
import ZUVU.Controls 1.0 as ZUVU
import QtQuick.Controls 2.0

// A black button with a white frame and a white label. The label sits one
// unit right of and below the centre, where the font's capitals look
// centred in the frame.
Button {
    id: btn

    property alias border: bg.border

    font.family: ZUVU.Theme.fontFamily
    font.pixelSize: 16 * ZUVU.Theme.scaleFactor

    background: Rectangle {
        id: bg
        anchors.fill: parent
        color: "black"
        border.color: "white"
        border.width: 1 * ZUVU.Theme.scaleFactor
    }

    contentItem: Text {
        id: btn_txt
        text: btn.text
        font: btn.font
        color: "white"
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        anchors.centerIn: parent
        anchors.horizontalCenterOffset: 1 * ZUVU.Theme.scaleFactor
        anchors.verticalCenterOffset: 1 * ZUVU.Theme.scaleFactor
    }
}
