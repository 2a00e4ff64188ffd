#ifndef ZUV_WINDOWPICTURE_H
#define ZUV_WINDOWPICTURE_H

#include <QImage>
#include <QList>
#include <QPair>
#include <QRect>

// A screenshot of the program's 512 x 512 window, read the way a user looks
// at it: which page shows, where its buttons are, how many lines its
// message has. The window is white on black; a button is a white frame, so
// its top row holds a long white run that no letter of the font has.
class WindowPicture
{
public:
    explicit WindowPicture(const QImage &image = QImage());

    QImage image() const { return m_image; }
    bool isNull() const { return m_image.isNull(); }
    bool operator==(const WindowPicture &other) const { return m_image == other.m_image; }

    // The device page, recognised by the frames of CHECK FOR UPDATES and
    // CHANGELIST side by side.
    bool isDevicePage() const;
    // The lowest button in the middle of the page: UPDATE on the device
    // page, OK on a message page. A null rectangle when there is none.
    QRect lowestButton() const;
    // CLOSE on the change-list page; a null rectangle when it does not show.
    QRect changelistCloseButton() const;
    // The lines of the message above a message page's OK button.
    int messageLineCount(const QRect &okButton) const;

    static QPoint checkForUpdatesButton();

private:
    QRect lowestButtonIn(int x0, int x1, int y0) const;
    bool isWhite(int x, int y) const;
    bool isLit(int x, int y) const;
    int longestRun(int y, int x0, int x1, int *start = nullptr) const;
    // Runs of rows between y0 and y1 holding a pixel between x0 and x1 that
    // passes the test; rows apart by no more than `gap` join one run.
    QList<QPair<int, int>> bands(int x0, int x1, int y0, int y1, bool (WindowPicture::*test)(int, int) const,
                                 int gap = 0) const;

    QImage m_image;
};

#endif
