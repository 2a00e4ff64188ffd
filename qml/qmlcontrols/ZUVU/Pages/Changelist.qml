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
        width: 160 * ZUVU.Theme.scaleFactor
        height: 100 * ZUVU.Theme.scaleFactor
        anchors.top: parent.top
        anchors.topMargin: 60 * ZUVU.Theme.scaleFactor
        anchors.horizontalCenter: parent.horizontalCenter
    }

    Flickable {
        id: changelist_text
        anchors.top: device_logo.bottom
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: backbtn.top
        anchors.margins: 20 * ZUVU.Theme.scaleFactor
        clip: true

        // Plain text: whatever the server writes is shown as typed.
        TextArea.flickable: TextArea {
            text: Updater ? Updater.changelist : ""
            font.family: ZUVU.Theme.fontFamily
            font.pixelSize: 16 * ZUVU.Theme.scaleFactor
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
        anchors.rightMargin: 20 * ZUVU.Theme.scaleFactor
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 40 * ZUVU.Theme.scaleFactor
        onClicked: changelist.backRequest()
    }
}
