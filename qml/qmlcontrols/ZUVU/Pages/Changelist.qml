import QtQuick 2.0
import QtQuick.Controls 2.0
import ZUVU.Controls 1.0 as ZUVU

// The device model's change list from the update server, scrollable.
Rectangle {
    id: changelist

    signal backRequest()

    color: "transparent"

    Image {
        id: device_logo
        source: "qrc:/images/orvik.png"
        width: 160 * app.scaleFactor
        height: 100 * app.scaleFactor
        anchors.top: parent.top
        anchors.topMargin: 60 * app.scaleFactor
        anchors.horizontalCenter: parent.horizontalCenter
    }

    Flickable {
        id: changelist_text
        anchors.top: device_logo.bottom
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: backbtn.top
        anchors.margins: 20 * app.scaleFactor
        clip: true

        // Plain text: whatever the server writes is shown as typed.
        TextArea.flickable: TextArea {
            text: Updater ? Updater.changelist : ""
            font.family: appfont.name
            font.pixelSize: 16 * app.scaleFactor
            color: "white"
            readOnly: true
            cursorVisible: false
            textFormat: TextEdit.PlainText
            wrapMode: TextArea.Wrap
            anchors.fill: parent
        }

        ScrollBar.vertical: ScrollBar { }
    }

    ZUVU.Button {
        id: backbtn
        text: "CLOSE"
        anchors.right: parent.right
        anchors.rightMargin: 20 * app.scaleFactor
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 40 * app.scaleFactor
        onClicked: changelist.backRequest()
    }
}
