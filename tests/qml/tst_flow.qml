import QtQuick 2.4
import QtTest 1.2

// The main window driven through the Updater stand-in: which pages the stack
// holds after each signal and each button, what they say, and which Updater
// slots are called.
UiTestCase {
    id: testCase
    name: "Flow"

    readonly property string noDevice: "NO SUPPORTED DEVICE FOUND. MAKE SURE THAT YOUR DEVICE IS CONNECTED. IF DEVICE IS CONNECTED BUT IT IS NOT DETECTED THAN IT MEANS THAT YOUR DEVICE HAS UNSUPPORTED FIRWMARE. CONTACT ZUV-SYSTEMS SUPPORT FOR MORE DETAILS."
    readonly property string disconnect: "YOU CAN NOW DISCONNECT DEVICE FROM YOUR COMPUTER AND POWER IT WITH BATTERIES. "

    property var win: null
    property var stack: null

    function init() {
        Updater.reset()
        UrlLog.clear()
        var component = Qt.createComponent("qrc:/main.qml")
        compare(component.status, Component.Ready, component.errorString())
        win = createTemporaryObject(component, testCase)
        stack = findItem(win.contentItem, function (item) { return item.hasOwnProperty("depth") })
        verify(stack)
        settle()
    }

    function settle() {
        tryCompare(stack, "busy", false)
    }

    function onScreen(item) {
        var p = item.mapToItem(win.contentItem, 0, 0)
        return item.visible && item.width > 0 && item.height > 0 && p.x > -1 && p.y > -1
                && p.x + item.width < win.contentItem.width + 1
                && p.y + item.height < win.contentItem.height + 1
    }

    // Checks the pages on the stack from the bottom up, that the top one is
    // the one on screen and that those under it are hidden.
    function expectStack(names, what) {
        settle()
        var pages = { device: win.device, changelist: win.changelist, message: win.error }
        var held = []
        for (var i = 0; i < stack.depth; ++i) {
            var entry = stack.get(i)
            var name = "progress"
            for (var n in pages) {
                if (pages[n] === entry)
                    name = n
            }
            held.push(name)
            if (entry !== stack.currentItem)
                verify(!entry.visible, what + ": " + name + " under the top is hidden")
        }
        compare(held, names, what)
        var top = pages[names[names.length - 1]] || win.loading_page
        if (top === win.loading_page)
            compare(top.parent, stack.currentItem, what + ": the progress page moves to the top entry")
        verify(onScreen(top), what + ": the top page is shown")
    }

    function click(page, text) {
        var b = byText(page, text, true)
        verify(onScreen(b), text + " is on screen")
        mouseClick(b)
        settle()
    }

    function toDevice() {
        Updater.connectingToDevice()
        expectStack(["progress"], "connecting")
        compare(win.loading_page.text, "CONNECTING")
        Updater.setDevice("B1", "P1", "S1")
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

    // An offer, the UPDATE button and every progress report of the run.
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
        Updater.preparingDownloadList()
        compare(win.loading_page.text, "PREPARING LIST OF FILES TO DOWNLOAD")
        Updater.downloadedFiles(3, 10)
        compare(win.loading_page.text, "DOWNLOADED 3 OUT OF 10 FILES")
        Updater.veryfingDownloadedFiles()
        compare(win.loading_page.text, "VERYFINY DOWNLOADED FILES")
        Updater.copyingFiles()
        compare(win.loading_page.text, "COPYING FILES")
        expectStack(["progress", "device", "progress"], "progress reports change no page")
    }

    function test_standInIsTheUpdatersShape() {
        compare(UpdaterShape.differences(), [])
    }

    function test_start() {
        expectStack(["progress"], "first page")
        compare(win.loading_page.text, "SEARCHING")
        compare(Updater.scanCalls, 1, "the window starts one scan")
        compare(win.title, "ZUV Updater")
        verify(win.flags & Qt.FramelessWindowHint)
        byText(win.contentItem, "ZUV UPDATE MANAGER 0.9.529")
        compare(win.width, Math.floor(512 * win.scaleFactor))
        compare(win.height, win.width)
        compare([win.minimumWidth, win.maximumWidth, win.minimumHeight], [win.width, win.width, win.height])
        Updater.updateAvailable()
        expectStack(["progress"], "no device page to return to")

        var www = byText(win.contentItem, "WWW.ZUV-SYSTEMS.COM", true)
        compare(www.background.border.width, 0)
        mouseClick(www)
        compare(UrlLog.urls, ["https://www.zuv-systems.com"])
        expectStack(["progress"], "the website leaves the pages alone")
    }

    function test_message_data() {
        return [
            { tag: "no device", route: "", below: ["progress"], signal: "noDeviceFound", text: noDevice },
            { tag: "several devices over the device page", route: "toDevice", below: ["progress", "device"],
              signal: "multipleDevicesFound",
              text: "MORE THAN ONE SUPPORTED DEVICE FOUND. CONNECT ONLY ONE DEVICE AT A TIME FOR UPDATE." },
            { tag: "server error", route: "toChecking", below: ["progress", "device", "progress"],
              signal: "updateServerConnectionError",
              text: "AN ERROR OCCURED WHILE CONNECTING TO UPDATE SERVER\nHTTP 404 <NOT FOUND>" },
            { tag: "firmware ready", route: "toUpdating", below: ["progress", "device", "progress"],
              signal: "updateReady",
              text: disconnect + "UPDATE WILL START IMMEDIATELY. DO NOT INTERUPT THE UPDATE PROCESS." },
            { tag: "bootloader ready", route: "toUpdating", below: ["progress", "device", "progress"],
              signal: "bootloaderUpdateReady",
              text: disconnect + "BOOTLOADER UPDATE WILL START IMMEDIATELY. DO NOT INTERUPT THE UPDATE PROCESS. AFTER THE UPDATE IS FINISH YOU CAN RECONNECT DEVICE IN SERVICE MODE TO PROCEED WITH PRIMARY AND SECONDARY FIRMWARE UPDATES." },
            { tag: "download failed", route: "toUpdating", below: ["progress", "device", "progress"],
              signal: "downloadError",
              text: "AN ERROR OCCURED WHILE DOWNLOADING UPDATE\nTHE CARD NEEDS 3 MB MORE FREE SPACE" },
        ]
    }

    // Each message goes over the page it interrupts, a later one takes its
    // place, and OK goes back to a new search from which the device pages
    // work again.
    function test_message(data) {
        if (data.route)
            testCase[data.route]()
        Updater.setLastError("HTTP 404 <NOT FOUND>")
        Updater.setUpdateError("THE CARD NEEDS 3 MB MORE FREE SPACE")
        Updater[data.signal]()
        var shown = data.below.concat(["message"])
        expectStack(shown, data.signal)
        compare(win.error.text, data.text)
        Updater.noDeviceFound()
        expectStack(shown, "one message page at a time")
        compare(win.error.text, noDevice)

        var scans = Updater.scanCalls
        click(win.error, "OK")
        expectStack(["progress"], "after OK")
        compare(win.loading_page.text, "SEARCHING")
        compare(Updater.scanCalls, scans + 1, "OK starts exactly one scan")
        toChecking()
    }

    function test_changelist() {
        toDevice()
        Updater.connectedToDevice()
        expectStack(["progress", "device"], "connected again")
        click(win.device, "CHANGELIST")
        expectStack(["progress", "device", "changelist"], "change list")
        click(win.changelist, "CLOSE")
        expectStack(["progress", "device"], "closed")
        compare(Updater.checkForUpdatesCalls + Updater.updateCalls, 0)
    }

    function test_nothingToUpdate() {
        toUpdating()
        Updater.nothingToUpdate()
        expectStack(["progress", "device", "progress"], "nothing to update")
        compare(win.loading_page.text, "COPYING FILES")
    }
}
