import QtQuick 2.4
import QtTest 1.2

// A test case with the look-ups that the window's tests share: items found
// by what they show, and where they sit relative to another item.
TestCase {
    when: windowShown

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

    // The text, or with isButton the button, under root that shows text.
    function byText(root, text, isButton) {
        var found = findItem(root, function (item) {
            return item.text === text
                    && (isButton ? typeof item.clicked === "function" : item.hasOwnProperty("lineCount"))
        })
        verify(found, "nothing shows " + text)
        return found
    }

    function box(item, root) {
        var p = item.mapToItem(root, 0, 0)
        return { left: p.x, right: p.x + item.width, top: p.y, bottom: p.y + item.height }
    }
}
