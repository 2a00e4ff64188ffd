pragma Singleton
import QtQuick 2.0

// What every control and page shares: the window's scale and the program's
// font. The window keeps both up to date; a page shown on its own, as in the
// tests, is drawn at the design scale in the default font.
QtObject {
    property real scaleFactor: 1
    property string fontFamily: ""
}
