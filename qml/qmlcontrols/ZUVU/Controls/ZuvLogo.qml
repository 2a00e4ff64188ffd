import QtQuick 2.0
import ZUVU.Controls 1.0 as ZUVU

// The maker's logo, placed near the top of the page it is declared in.
Image {
    id: zuvlogo
    source: "qrc:/images/zuv.png"
    width: 164 * ZUVU.Theme.scaleFactor
    height: 84 * ZUVU.Theme.scaleFactor
    anchors.top: parent.top
    anchors.topMargin: 100 * ZUVU.Theme.scaleFactor
    anchors.horizontalCenter: parent.horizontalCenter
}
