import QtQuick 2.0
import ZUVU.Controls 1.0 as ZUVU

// Shows what the program is busy with, followed by running dots.
Rectangle {
    id: progress

    property string text

    color: "transparent"

    ZUVU.ZuvLogo {
        id: loading_zuvlogo
    }

    ZUVU.Text {
        id: loading_searching
        text: progress.text
        anchors.top: loading_zuvlogo.bottom
        anchors.horizontalCenter: parent.horizontalCenter
    }

    // The dots stand right of the centred text, so the text keeps still
    // while they run.
    ZUVU.Text {
        id: loading_indicator
        text: "..."
        anchors.left: loading_searching.right
        anchors.top: loading_searching.top

        Timer {
            interval: 500
            repeat: true
            running: true
            onTriggered: {
                switch (loading_indicator.text.length) {
                case 3:
                    loading_indicator.text = ""
                    break
                case 0:
                    loading_indicator.text = "."
                    break
                case 1:
                    loading_indicator.text = ".."
                    break
                case 2:
                    loading_indicator.text = "..."
                    break
                }
            }
        }
    }
}
