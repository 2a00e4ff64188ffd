import QtQuick 2.4
import QtQuick.Controls 2.0
import QtQuick.Window 2.2
import ZUVU.Controls 1.0 as ZUVU
import ZUVU.Pages 1.0 as ZUVUP

// The program's only window: a frameless square with a title bar that drags
// it, a stack of pages and a footer with the maker's website.
ApplicationWindow {
    id: app

    // Sizes are designed for a 512 x 512 window on a screen whose shorter
    // side is 1080 pixels, and scale with the screen the window is on.
    readonly property real scaleFactor: Math.min(Screen.height, Screen.width) / 1080
    readonly property bool showErrorDetails: true
    readonly property string website: "https://www.zuv-systems.com"

    // The pages are made once and pushed and popped for the whole run.
    property Item loading_page: ZUVUP.Progress {
        id: loading_page
        anchors.fill: parent
        text: qsTr("SEARCHING")
    }

    property Item device: ZUVUP.Device {
        id: device
        onShowChangelist: app.pushPage(app.changelist)
        onCheckUpdates: {
            app.loading_page.text = qsTr("CHECKING FOR UPDATES")
            app.pushPage(app.loading_page)
            Updater.checkForUpdates()
        }
        onUpdateRequest: {
            app.loading_page.text = qsTr("PREPARING UPDATE")
            app.pushPage(app.loading_page)
            Updater.update()
        }
    }

    property Item changelist: ZUVUP.Changelist {
        id: changelist
        onBackRequest: app.popPage(app.device)
    }

    property Item error: ZUVUP.Error {
        id: error
        onOkClicked: {
            app.loading_page.text = qsTr("SEARCHING")
            app.popPage(app.loading_page)
            Updater.scan()
        }
    }

    // The stack view holds an item only once, yet the progress page stands
    // both at the bottom of the stack and again over the device page. Two
    // empty entries hold its places; the page moves into the one that is
    // about to show.
    property Item progress_bottom: Item { }
    property Item progress_over: Item { }

    function holds(entry) {
        for (var i = 0; i < pages.depth; ++i) {
            if (pages.get(i, StackView.DontLoad) === entry)
                return true
        }
        return false
    }

    // Makes page the top of the stack and shows it. A page that the stack
    // holds already is brought back by popping to it.
    function pushPage(page) {
        var entry = page
        if (page === loading_page) {
            if (pages.currentItem === progress_bottom || pages.currentItem === progress_over)
                return
            entry = pages.depth === 0 ? progress_bottom : progress_over
            if (!holds(entry))
                loading_page.parent = entry
        }
        if (holds(entry))
            popPage(page === loading_page ? entry : page)
        else
            pages.push(entry)
    }

    // Removes the entries above the lowest one that holds page. The progress
    // page's lowest place is the bottom of the stack.
    function popPage(page) {
        var entry = page === loading_page ? progress_bottom : page
        if (!holds(entry) || pages.currentItem === entry)
            return
        if (entry === progress_bottom || entry === progress_over)
            loading_page.parent = entry
        pages.pop(entry)
    }

    title: qsTr("ZUV Updater")
    visible: true
    flags: Qt.FramelessWindowHint | Qt.Window
    width: 512 * scaleFactor
    height: 512 * scaleFactor
    minimumWidth: width
    maximumWidth: width
    minimumHeight: height
    maximumHeight: height

    FontLoader {
        id: appfont
        source: "qrc:/fonts/E4_2017.TTF"
    }

    // The controls and pages take the scale and the font from the theme.
    Binding {
        target: ZUVU.Theme
        property: "scaleFactor"
        value: app.scaleFactor
    }
    Binding {
        target: ZUVU.Theme
        property: "fontFamily"
        value: appfont.name
    }

    Image {
        id: background
        anchors.fill: parent
        source: "qrc:/images/background.png"
    }

    Rectangle {
        id: header
        color: "black"
        anchors.top: parent.top
        anchors.left: parent.left
        anchors.right: parent.right
        height: 20 * app.scaleFactor

        // Drags the frameless window. Positions are global so that the
        // moving window does not disturb the measurement.
        MouseArea {
            id: header_drag

            property point startPos

            anchors.fill: parent

            onPressed: {
                if (mouse.button === Qt.LeftButton)
                    startPos = Cursor.pos()
            }
            onPositionChanged: {
                if (mouse.buttons & Qt.LeftButton) {
                    var pos = Cursor.pos()
                    var dx = pos.x - startPos.x
                    var dy = pos.y - startPos.y
                    startPos = pos
                    app.x += dx
                    app.y += dy
                }
            }

            ZUVU.Text {
                id: app_info
                font.family: appfont.name
                color: "white"
                anchors.verticalCenter: parent.verticalCenter
                anchors.left: parent.left
                anchors.leftMargin: 4 * app.scaleFactor
                // The version never changes while the program runs.
                Component.onCompleted: text = "ZUV UPDATE MANAGER " + Updater.version
            }

            Button {
                id: close_btn
                width: 16 * app.scaleFactor
                height: width
                padding: 0
                anchors.verticalCenter: parent.verticalCenter
                anchors.right: parent.right
                anchors.rightMargin: 4 * app.scaleFactor
                background: Rectangle {
                    color: "transparent"
                }
                contentItem: Image {
                    source: "qrc:/images/close.png"
                    anchors.fill: parent
                }
                onClicked: {
                    app.close()
                    Qt.quit()
                }
            }
        }
    }

    StackView {
        id: pages
        anchors.top: header.bottom
        anchors.bottom: footer.top
        anchors.left: parent.left
        anchors.right: parent.right
    }

    Rectangle {
        id: footer
        color: "black"
        anchors.bottom: parent.bottom
        anchors.left: parent.left
        anchors.right: parent.right
        height: 20 * app.scaleFactor

        ZUVU.Button {
            id: www_adr
            text: app.website.replace(/^[a-z]+:\/\//, "").toUpperCase()
            anchors.top: parent.top
            anchors.bottom: parent.bottom
            anchors.right: parent.right
            anchors.rightMargin: 4 * app.scaleFactor
            border.width: 0
            onClicked: Qt.openUrlExternally(app.website)
        }
    }

    Connections {
        target: Updater

        function onNoDeviceFound() {
            error.text = qsTr("NO SUPPORTED DEVICE FOUND. MAKE SURE THAT YOUR DEVICE IS CONNECTED. IF DEVICE IS CONNECTED BUT IT IS NOT DETECTED THAN IT MEANS THAT YOUR DEVICE HAS UNSUPPORTED FIRWMARE. CONTACT ZUV-SYSTEMS SUPPORT FOR MORE DETAILS.")
            app.pushPage(error)
        }
        function onMultipleDevicesFound() {
            error.text = qsTr("MORE THAN ONE SUPPORTED DEVICE FOUND. CONNECT ONLY ONE DEVICE AT A TIME FOR UPDATE.")
            app.pushPage(error)
        }
        function onConnectingToDevice() {
            loading_page.text = qsTr("CONNECTING")
        }
        function onConnectedToDevice() {
            app.pushPage(device)
        }
        function onUpdateServerConnectionError() {
            var message = qsTr("AN ERROR OCCURED WHILE CONNECTING TO UPDATE SERVER")
            if (app.showErrorDetails)
                message += "\n" + Updater.lastError
            error.text = message
            app.pushPage(error)
        }
        function onUpdateAvailable() {
            app.popPage(device)
        }
        function onPreparingDownloadList() {
            loading_page.text = qsTr("PREPARING LIST OF FILES TO DOWNLOAD")
        }
        function onDownloadedFiles(count, total) {
            loading_page.text = qsTr("DOWNLOADED %1 OUT OF %2 FILES").arg(count).arg(total)
        }
        function onVeryfingDownloadedFiles() {
            loading_page.text = qsTr("VERYFINY DOWNLOADED FILES")
        }
        function onDownloadError() {
            var message = qsTr("AN ERROR OCCURED WHILE DOWNLOADING UPDATE")
            if (app.showErrorDetails && Updater.updateError)
                message += "\n" + Updater.updateError
            error.text = message
            app.pushPage(error)
        }
        function onUpdateReady() {
            error.text = qsTr("YOU CAN NOW DISCONNECT DEVICE FROM YOUR COMPUTER AND POWER IT WITH BATTERIES. UPDATE WILL START IMMEDIATELY. DO NOT INTERUPT THE UPDATE PROCESS.")
            app.pushPage(error)
        }
        function onBootloaderUpdateReady() {
            error.text = qsTr("YOU CAN NOW DISCONNECT DEVICE FROM YOUR COMPUTER AND POWER IT WITH BATTERIES. BOOTLOADER UPDATE WILL START IMMEDIATELY. DO NOT INTERUPT THE UPDATE PROCESS. AFTER THE UPDATE IS FINISH YOU CAN RECONNECT DEVICE IN SERVICE MODE TO PROCEED WITH PRIMARY AND SECONDARY FIRMWARE UPDATES.")
            app.pushPage(error)
        }
        function onCopyingFiles() {
            loading_page.text = qsTr("COPYING FILES")
        }
    }

    Component.onCompleted: {
        app.pushPage(loading_page)
        Updater.scan()
    }
}
