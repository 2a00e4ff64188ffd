import QtQuick 2.0

// The maker's logo, placed near the top of the page it is declared in.
Image {
    id: zuvlogo
    source: "qrc:/images/zuv.png"
    width: 164 * app.scaleFactor
    height: 84 * app.scaleFactor
    anchors.top: parent.top
    anchors.topMargin: 100 * app.scaleFactor
    anchors.horizontalCenter: parent.horizontalCenter
}
