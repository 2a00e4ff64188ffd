import QtQuick 2.0
import QtQuick.Controls 2.0

// A black button with a white frame and a white label. The label sits one
// unit right of and below the centre, where the font's capitals look
// centred in the frame.
Button {
    id: btn

    property alias border: bg.border

    font.family: appfont.name
    font.pixelSize: 16 * app.scaleFactor

    background: Rectangle {
        id: bg
        anchors.fill: parent
        color: "black"
        border.color: "white"
        border.width: 1 * app.scaleFactor
    }

    contentItem: Text {
        id: btn_txt
        text: btn.text
        font: btn.font
        color: "white"
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        anchors.centerIn: parent
        anchors.horizontalCenterOffset: 1 * app.scaleFactor
        anchors.verticalCenterOffset: 1 * app.scaleFactor
    }
}
