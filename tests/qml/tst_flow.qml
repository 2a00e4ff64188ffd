import QtQuick 2.4
import QtTest 1.2

// The main window driven through the Updater stand-in: which page shows
// after each signal and each button, what the progress and message pages
// say, and which Updater slots are called.
TestCase {
    id: testCase
    name: "Flow"
    when: windowShown

    readonly property string noDevice: "NO SUPPORTED DEVICE FOUND. MAKE SURE THAT YOUR DEVICE IS CONNECTED. IF DEVICE IS CONNECTED BUT IT IS NOT DETECTED THAN IT MEANS THAT YOUR DEVICE HAS UNSUPPORTED FIRWMARE. CONTACT ZUV-SYSTEMS SUPPORT FOR MORE DETAILS."
    readonly property string manyDevices: "MORE THAN ONE SUPPORTED DEVICE FOUND. CONNECT ONLY ONE DEVICE AT A TIME FOR UPDATE."
    readonly property string serverError: "AN ERROR OCCURED WHILE CONNECTING TO UPDATE SERVER"
    readonly property string downloadFailed: "AN ERROR OCCURED WHILE DOWNLOADING UPDATE"
    readonly property string ready: "YOU CAN NOW DISCONNECT DEVICE FROM YOUR COMPUTER AND POWER IT WITH BATTERIES. UPDATE WILL START IMMEDIATELY. DO NOT INTERUPT THE UPDATE PROCESS."
    readonly property string bootloaderReady: "YOU CAN NOW DISCONNECT DEVICE FROM YOUR COMPUTER AND POWER IT WITH BATTERIES. BOOTLOADER UPDATE WILL START IMMEDIATELY. DO NOT INTERUPT THE UPDATE PROCESS. AFTER THE UPDATE IS FINISH YOU CAN RECONNECT DEVICE IN SERVICE MODE TO PROCEED WITH PRIMARY AND SECONDARY FIRMWARE UPDATES."

    property var win: null
    property var stack: null

    // --- helpers -------------------------------------------------------------

    function findItem(item, accept) {
        if (!item)
            return null
        if (accept(item))
            return item
        var children = item.children || []
        for (var i = 0; i < children.length; ++i) {
            var found = findItem(children[i], accept)
            if (found)
                return found
        }
        return null
    }

    function button(root, text) {
        var found = findItem(root, function (item) {
            return item.text === text && typeof item.clicked === "function"
        })
        verify(found, "no button " + text)
        return found
    }

    function textItem(root, text) {
        var found = findItem(root, function (item) {
            return item.text === text && item.hasOwnProperty("lineCount")
        })
        verify(found, "no text " + text)
        return found
    }

    function openWindow() {
        Updater.reset()
        UrlLog.clear()
        var component = Qt.createComponent("qrc:/main.qml")
        compare(component.status, Component.Ready, component.errorString())
        win = createTemporaryObject(component, testCase)
        verify(win)
        stack = findItem(win.contentItem, function (item) {
            return item.hasOwnProperty("currentItem") && item.hasOwnProperty("depth")
        })
        verify(stack)
        settle()
    }

    function settle() {
        tryCompare(stack, "busy", false)
    }

    function entryName(entry) {
        if (entry === win.device)
            return "device"
        if (entry === win.changelist)
            return "changelist"
        if (entry === win.error)
            return "message"
        return "progress"
    }

    // The stack from the bottom up, by page.
    function stackPages() {
        var names = []
        for (var i = 0; i < stack.depth; ++i)
            names.push(entryName(stack.get(i)))
        return names
    }

    function onScreen(item) {
        var p = item.mapToItem(win.contentItem, 0, 0)
        return item.visible && item.width > 0 && item.height > 0 && p.x > -1 && p.y > -1
                && p.x + item.width < win.contentItem.width + 1
                && p.y + item.height < win.contentItem.height + 1
    }

    // Checks the stack and that its top page is the one the user sees.
    function expectStack(names, what) {
        settle()
        compare(stackPages(), names, what)
        var top = names[names.length - 1]
        var page = top === "progress" ? win.loading_page
                 : top === "device" ? win.device
                 : top === "changelist" ? win.changelist : win.error
        if (top === "progress")
            compare(win.loading_page.parent, stack.currentItem, "the progress page moves to the top entry")
        verify(onScreen(page), top + " page is shown")
        for (var i = 0; i < names.length - 1; ++i) {
            var below = stack.get(i)
            if (below !== stack.currentItem && below !== win.loading_page.parent)
                verify(!below.visible, names[i] + " below the top is hidden")
        }
    }

    function click(root, text) {
        var b = button(root, text)
        verify(onScreen(b), text + " is on screen")
        mouseClick(b)
        settle()
    }

    function toDevice() {
        Updater.connectingToDevice()
        Updater.setDevice("B1", "P1", "S1")
        Updater.setChangelist("CHANGES")
        Updater.connectedToDevice()
        expectStack(["progress", "device"], "connected")
    }

    function toChecking() {
        toDevice()
        var checks = Updater.checkForUpdatesCalls
        click(win.device, "CHECK FOR UPDATES")
        expectStack(["progress", "device", "progress"], "checking")
        compare(win.loading_page.text, "CHECKING FOR UPDATES")
        compare(Updater.checkForUpdatesCalls, checks + 1)
    }

    function toUpdating() {
        toChecking()
        Updater.setOffer("B1", "P2", "S1")
        Updater.updateInfoChanged()
        Updater.updateAvailable()
        expectStack(["progress", "device"], "offer received")
        click(win.device, "UPDATE")
        expectStack(["progress", "device", "progress"], "updating")
        compare(win.loading_page.text, "PREPARING UPDATE")
        compare(Updater.updateCalls, 1)
    }

    // Leaves a message page through OK: back to the search, one new scan.
    function okStartsNewScan() {
        var scans = Updater.scanCalls
        click(win.error, "OK")
        expectStack(["progress"], "after OK")
        compare(win.loading_page.text, "SEARCHING")
        compare(Updater.scanCalls, scans + 1, "OK starts exactly one scan")
    }

    // --- tests --------------------------------------------------------------------

    function test_start() {
        openWindow()
        expectStack(["progress"], "first page")
        compare(win.loading_page.text, "SEARCHING")
        compare(Updater.scanCalls, 1, "the window starts one scan")
        compare(win.title, "ZUV Updater")
        verify(win.flags & Qt.FramelessWindowHint)
        textItem(win.contentItem, "ZUV UPDATE MANAGER 0.9.529")
        compare(win.width, Math.floor(512 * win.scaleFactor))
        compare(win.height, win.width)
        compare(win.minimumWidth, win.width)
        compare(win.maximumHeight, win.height)
    }

    function test_searchOutcome_data() {
        return [
            { tag: "no device", signal: "noDeviceFound", text: noDevice },
            { tag: "several devices", signal: "multipleDevicesFound", text: manyDevices },
        ]
    }

    function test_searchOutcome(data) {
        openWindow()
        Updater.connectingToDevice()
        compare(win.loading_page.text, "CONNECTING")
        expectStack(["progress"], "connecting changes no page")
        Updater[data.signal]()
        expectStack(["progress", "message"], data.signal)
        compare(win.error.text, data.text)
        okStartsNewScan()
    }

    function test_changelist() {
        openWindow()
        toDevice()
        click(win.device, "CHANGELIST")
        expectStack(["progress", "device", "changelist"], "change list")
        click(win.changelist, "CLOSE")
        expectStack(["progress", "device"], "closed")
        compare(Updater.checkForUpdatesCalls + Updater.updateCalls, 0)
    }

    function test_checkForUpdates() {
        openWindow()
        toChecking()
        Updater.setOffer("B1", "P1", "S2")
        Updater.updateInfoChanged()
        Updater.updateAvailable()
        expectStack(["progress", "device"], "back to the device")
        verify(button(win.device, "UPDATE").visible)
        // A second check uses the same progress page again.
        click(win.device, "CHECK FOR UPDATES")
        expectStack(["progress", "device", "progress"], "checking again")
        compare(Updater.checkForUpdatesCalls, 2)
    }

    function test_serverError_data() {
        return [
            { tag: "with details", lastError: "HTTP 404 <NOT FOUND>", text: serverError + "\nHTTP 404 <NOT FOUND>" },
            { tag: "without details", lastError: "", text: serverError + "\n" },
        ]
    }

    function test_serverError(data) {
        openWindow()
        toChecking()
        Updater.setLastError(data.lastError)
        Updater.updateServerConnectionError()
        expectStack(["progress", "device", "progress", "message"], "server error")
        compare(win.error.text, data.text)
        okStartsNewScan()
        // The progress page is back at the bottom and can be pushed again.
        toChecking()
    }

    function test_updateRun_data() {
        return [
            { tag: "firmware", signal: "updateReady", text: ready },
            { tag: "bootloader", signal: "bootloaderUpdateReady", text: bootloaderReady },
            { tag: "failed", signal: "downloadError", text: downloadFailed },
        ]
    }

    function test_updateRun(data) {
        openWindow()
        toUpdating()
        Updater.preparingDownloadList()
        compare(win.loading_page.text, "PREPARING LIST OF FILES TO DOWNLOAD")
        Updater.downloadedFiles(3, 10)
        compare(win.loading_page.text, "DOWNLOADED 3 OUT OF 10 FILES")
        Updater.veryfingDownloadedFiles()
        compare(win.loading_page.text, "VERYFINY DOWNLOADED FILES")
        Updater.copyingFiles()
        compare(win.loading_page.text, "COPYING FILES")
        expectStack(["progress", "device", "progress"], "progress changes no page")
        Updater[data.signal]()
        expectStack(["progress", "device", "progress", "message"], data.signal)
        compare(win.error.text, data.text)
        okStartsNewScan()
    }

    function test_nothingToUpdate() {
        openWindow()
        toUpdating()
        Updater.downloadedFiles(1, 2)
        Updater.nothingToUpdate()
        expectStack(["progress", "device", "progress"], "nothing to update")
        compare(win.loading_page.text, "DOWNLOADED 1 OUT OF 2 FILES")
    }

    // Signals act by the same table in any state.
    function test_signalsOutOfTurn() {
        openWindow()
        Updater.updateAvailable()
        expectStack(["progress"], "no device page to return to")
        toDevice()
        Updater.connectedToDevice()
        expectStack(["progress", "device"], "already on the device page")
        Updater.noDeviceFound()
        expectStack(["progress", "device", "message"], "message over the device page")
        Updater.multipleDevicesFound()
        expectStack(["progress", "device", "message"], "one message page at a time")
        compare(win.error.text, manyDevices)
        okStartsNewScan()
    }

    function test_website() {
        openWindow()
        var www = button(win.contentItem, "WWW.ZUV-SYSTEMS.COM")
        compare(www.background.border.width, 0)
        mouseClick(www)
        compare(UrlLog.urls, ["https://www.zuv-systems.com"])
        expectStack(["progress"], "the website leaves the pages alone")
    }

    function test_drag_data() {
        return [
            { tag: "left button on the bar", button: Qt.LeftButton, x: 300, moves: true },
            { tag: "left button on the title", button: Qt.LeftButton, x: 20, moves: true },
            { tag: "right button", button: Qt.RightButton, x: 300, moves: false },
            { tag: "middle button", button: Qt.MiddleButton, x: 300, moves: false },
        ]
    }

    function test_drag(data) {
        openWindow()
        var bar = findItem(win.contentItem, function (item) {
            return item.hasOwnProperty("startPos")
        })
        verify(bar)
        var x0 = win.x
        var y0 = win.y
        var x = data.x * win.scaleFactor
        var y = bar.height / 2
        Cursor.moveTo(1000, 500)
        mousePress(bar, x, y, data.button)
        // The window follows the global position, whatever the local one.
        Cursor.moveTo(1030, 490)
        mouseMove(bar, x + 5, y + 1, -1, data.button)
        Cursor.moveTo(1050, 520)
        mouseMove(bar, x + 9, y + 2, -1, data.button)
        mouseRelease(bar, x + 9, y + 2, data.button)
        if (data.moves) {
            tryCompare(win, "x", x0 + 50)
            tryCompare(win, "y", y0 + 20)
        } else {
            wait(50)
            compare(win.x, x0)
            compare(win.y, y0)
        }
    }
}
