import QtQuick 2.0
import ZUVU.Controls 1.0 as ZUVU

// A message for the user, good news or bad, with one button to go on.
Rectangle {
    id: errorPage

    property string text

    signal okClicked()

    color: "transparent"

    ZUVU.ZuvLogo {
        id: loading_zuvlogo
    }

    // Plain text: details that come from the server are shown as they are,
    // and a line break always starts a new line.
    ZUVU.Text {
        id: loading_searching
        text: errorPage.text
        textFormat: Text.PlainText
        anchors.top: loading_zuvlogo.bottom
        anchors.topMargin: 20 * ZUVU.Theme.scaleFactor
        anchors.left: parent.left
        anchors.leftMargin: 80 * ZUVU.Theme.scaleFactor
        anchors.right: parent.right
        anchors.rightMargin: 80 * ZUVU.Theme.scaleFactor
        wrapMode: Text.Wrap
        horizontalAlignment: Text.AlignLeft
    }

    ZUVU.Button {
        id: ok
        text: qsTr("OK")
        anchors.top: loading_searching.bottom
        anchors.topMargin: 20 * ZUVU.Theme.scaleFactor
        anchors.horizontalCenter: parent.horizontalCenter
        onClicked: errorPage.okClicked()
    }
}
