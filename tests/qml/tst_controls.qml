import QtQuick 2.4
import QtTest 1.2
import ZUVU.Controls 1.0 as ZUVU

// The program's own controls as a page uses them.
Item {
    id: root
    width: 512
    height: 472

    Item {
        id: app
        property real scaleFactor: 1
    }

    FontLoader {
        id: appfont
        source: "qrc:/fonts/E4_2017.TTF"
    }

    Component {
        id: buttonComponent
        ZUVU.Button { text: "CHECK FOR UPDATES" }
    }
    Component {
        id: comboComponent
        ZUVU.ComboBox { model: ["THE ORVIK 0001", "THE ORVIK 0002"] }
    }

    TestCase {
        name: "Controls"
        when: windowShown

        function test_font() {
            tryCompare(appfont, "status", FontLoader.Ready)
            compare(appfont.name, "E4 2017")
        }

        function test_button_data() {
            return [ { tag: "scale 1", scale: 1 }, { tag: "scale 2/3", scale: 2 / 3 } ]
        }

        // The label sits one unit right of and below the centre, and users
        // can take the frame away.
        function test_button(data) {
            app.scaleFactor = data.scale
            var b = createTemporaryObject(buttonComponent, root)
            verify(b)
            var label = b.contentItem
            var centre = label.mapToItem(b, label.width / 2, label.height / 2)
            compare(centre.x - b.width / 2, data.scale)
            compare(centre.y - b.height / 2, data.scale)
            verify(label.contentWidth < b.width, "the label fits")
            compare(b.background.border.width, data.scale)
            b.border.width = 0
            compare(b.background.border.width, 0)
            app.scaleFactor = 1
        }

        function test_comboBox() {
            var cb = createTemporaryObject(comboComponent, root)
            verify(cb)
            compare(cb.indicator, null)
            verify(Qt.colorEqual(cb.popup.background.color, "black"))
            compare(cb.contentItem.text, "THE ORVIK 0001")
            cb.currentIndex = 1
            compare(cb.contentItem.text, "THE ORVIK 0002")
        }
    }
}
