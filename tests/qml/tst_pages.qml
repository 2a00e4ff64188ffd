import QtQuick 2.4
import QtQuick.Controls 2.0
import QtTest 1.2
import ZUVU.Controls 1.0 as ZUVU
import ZUVU.Pages 1.0 as ZUVUP

// The pages on their own, in a page area of the window's size: what the
// device page shows for each combination of versions, and how texts from the
// server are shown. Where the parts sit is checked against the whole window.
Item {
    id: root
    width: 512
    height: 472

    // The window's font, as the window hands it to the pages.
    FontLoader {
        id: appfont
        source: "qrc:/fonts/E4_2017.TTF"
    }
    Binding {
        target: ZUVU.Theme
        property: "fontFamily"
        value: appfont.name
    }

    Component { id: progressPage; ZUVUP.Progress { anchors.fill: parent; text: "SEARCHING" } }
    Component { id: devicePage; ZUVUP.Device { anchors.fill: parent } }
    Component { id: changelistPage; ZUVUP.Changelist { anchors.fill: parent } }
    Component { id: errorPage; ZUVUP.Error { anchors.fill: parent } }

    UiTestCase {
        name: "Pages"

        function init() {
            Updater.reset()
            root.width = 512
            root.height = 472
        }

        function open(component) {
            var page = createTemporaryObject(component, root)
            verify(page)
            waitForRendering(page)
            return page
        }

        function near(actual, expected, what) {
            verify(Math.abs(actual - expected) <= 1, what + ": " + actual + ", expected " + expected)
        }

        function flickable(page) {
            return findItem(page, function (item) { return item.hasOwnProperty("contentY") })
        }

        function test_versions_data() {
            return [
                { tag: "all equal", offer: ["1.0", "2.0", "3.0"], amber: [false, false, false], update: false },
                { tag: "secondary differs", offer: ["1.0", "2.0", "3.1"], amber: [false, false, true], update: true },
                { tag: "bootloader differs", offer: ["0.9", "2.0", "3.0"], amber: [true, false, false], update: true },
                { tag: "older offer", offer: ["1.0", "1.9", "3.0"], amber: [false, true, false], update: true },
                { tag: "no offer yet", offer: ["", "", ""], amber: null, update: false },
                { tag: "same digits, other text", offer: ["1.0 ", "2.0", "3.0"], amber: [true, false, false], update: true },
            ]
        }

        // The page follows the Updater's values as their signals arrive.
        function test_versions(data) {
            var page = open(devicePage)
            Updater.setDevice("1.0", "2.0", "3.0")
            Updater.connectedToDevice()
            var updateButton = byText(page, "UPDATE", true)
            Updater.setOffer(data.offer[0], data.offer[1], data.offer[2])
            Updater.updateInfoChanged()
            compare(updateButton.visible, data.update)
            if (!data.amber)
                return
            for (var i = 0; i < 3; ++i) {
                var cell = findItem(page, function (item) {
                    return item.text === data.offer[i] && item.hasOwnProperty("lineCount")
                            && box(item, page).left >= 345
                })
                verify(cell, "offered " + data.offer[i] + " is shown")
                verify(Qt.colorEqual(cell.color, data.amber[i] ? "#f6b41a" : "white"),
                       "colour of " + data.offer[i] + ": " + cell.color)
            }
        }

        // Markup from the server shows as typed; a long list wraps and scrolls.
        function test_changelist() {
            var lines = ["<B>V1.2</B> FASTER & <BR>SAFER", "- FIX <1> & <2>"]
            for (var i = 0; i < 80; ++i)
                lines.push("LINE " + i + " OF A LONG CHANGE LIST THAT WRAPS AT THE EDGE OF THE AREA")
            Updater.setChangelist(lines.join("\n"))
            var page = open(changelistPage)
            Updater.connectedToDevice()
            var area = findItem(page, function (item) { return item.hasOwnProperty("readOnly") })
            verify(area.readOnly)
            compare(area.getText(0, area.length), lines.join("\n"), "shown as typed")
            verify(area.lineCount > 82, "long lines wrap")
            var flick = flickable(page)
            compare(flick.contentY, 0)
            mouseWheel(flick, flick.width / 2, flick.height / 2, 0, -360)
            tryVerify(function () { return flick.contentY > 0 }, 3000, "the wheel scrolls")
            verify(flick.ScrollBar.vertical.size < 0.25)
        }

        function test_messageLines_data() {
            return [
                { tag: "markup on the first line", text: "<B>404</B> NOT FOUND\nDETAILS", lines: 2 },
                { tag: "wraps", text: "NO SUPPORTED DEVICE FOUND. MAKE SURE THAT YOUR DEVICE IS CONNECTED.", lines: 2 },
            ]
        }

        // Plain text in its column, line breaks kept, with OK below it.
        function test_messageLines(data) {
            var page = open(errorPage)
            page.text = data.text
            var message = byText(page, data.text)
            compare(message.lineCount, data.lines)
            verify(message.contentWidth <= message.width + 1, "the text stays in its column")
            verify(box(byText(page, "OK", true), page).top >= box(message, page).bottom + 19, "OK below the message")
        }

        function test_progressDots() {
            var page = open(progressPage)
            var activity = byText(page, "SEARCHING")
            var dots = byText(page, "...")
            near(box(dots, page).left, box(activity, page).right, "dots follow the text")
            near(box(dots, page).top, box(activity, page).top, "dots on the text's line")
            // Whatever the dots show now, they go on "...", "", ".", ".." and
            // round again, and the text beside them keeps still.
            var cycle = ["...", "", ".", ".."]
            var steps = []
            var previous = dots.text
            var x = activity.x
            dots.textChanged.connect(function () {
                steps.push(cycle[(cycle.indexOf(previous) + 1) % 4] === dots.text && activity.x === x)
                previous = dots.text
            })
            tryVerify(function () { return steps.length >= 5 }, 10000)
            compare(steps.slice(0, 5), [true, true, true, true, true])
            page.text = "DOWNLOADED 3 OUT OF 10 FILES"
            near(box(dots, page).left, box(activity, page).right, "dots follow a new text")
        }
    }
}
