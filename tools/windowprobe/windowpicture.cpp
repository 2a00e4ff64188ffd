#include "windowpicture.h"

namespace {

// Places at a scale of 1: the title bar is 20 pixels high, the page area
// below it; the footer starts at 492.
constexpr int PageTop = 20;
constexpr int FooterTop = 492;
constexpr int ButtonRowTop = PageTop + 180;  // top edge of the device page's buttons
constexpr int MessageTop = PageTop + 204;    // first line of a message
constexpr int MessageLeft = 80;
constexpr int MessageRight = 432;
constexpr int CentreLeft = 176;              // the middle column, where UPDATE and OK sit
constexpr int CentreRight = 336;
constexpr int ShortestButtonEdge = 24;
// Letters are drawn smoothed: a line of text is every row with a bright
// pixel, and its rows stand closer together than the lines do.
constexpr int GapInsideLine = 3;

} // namespace

WindowPicture::WindowPicture(const QImage &image)
    : m_image(image.convertToFormat(QImage::Format_RGB32))
{
}

QPoint WindowPicture::checkForUpdatesButton()
{
    return {156, ButtonRowTop + 14};
}

bool WindowPicture::isDevicePage() const
{
    if (m_image.width() < 512 || m_image.height() < 512)
        return false;
    // CHECK FOR UPDATES spans x 66 to 246, CHANGELIST 266 to 446.
    return longestRun(ButtonRowTop, 60, 252) >= 170 && longestRun(ButtonRowTop, 260, 452) >= 170;
}

QRect WindowPicture::lowestButton() const
{
    return lowestButtonIn(CentreLeft, CentreRight, ButtonRowTop);
}

QRect WindowPicture::changelistCloseButton() const
{
    // CLOSE sits at the right edge of the change-list page, below its text.
    return lowestButtonIn(400, 500, PageTop + 360);
}

QRect WindowPicture::lowestButtonIn(int x0, int x1, int y0) const
{
    if (m_image.width() < 512 || m_image.height() < 512)
        return QRect();
    const auto found = bands(x0, x1, y0, FooterTop, &WindowPicture::isWhite);
    if (found.isEmpty())
        return QRect();
    const int top = found.last().first;
    const int bottom = found.last().second;
    int left = 0;
    const int width = longestRun(top, x0, x1, &left);
    if (width < ShortestButtonEdge || bottom - top < 10)
        return QRect();
    return QRect(left, top, width, bottom - top + 1);
}

int WindowPicture::messageLineCount(const QRect &okButton) const
{
    if (okButton.isNull())
        return 0;
    return bands(MessageLeft, MessageRight, MessageTop, okButton.top(), &WindowPicture::isLit, GapInsideLine).size();
}

bool WindowPicture::isWhite(int x, int y) const
{
    const QRgb pixel = m_image.pixel(x, y);
    return qRed(pixel) >= 250 && qGreen(pixel) >= 250 && qBlue(pixel) >= 250;
}

bool WindowPicture::isLit(int x, int y) const
{
    const QRgb pixel = m_image.pixel(x, y);
    return qMax(qRed(pixel), qMax(qGreen(pixel), qBlue(pixel))) >= 96;
}

int WindowPicture::longestRun(int y, int x0, int x1, int *start) const
{
    int best = 0;
    int run = 0;
    for (int x = x0; x < x1; ++x) {
        run = isWhite(x, y) ? run + 1 : 0;
        if (run > best) {
            best = run;
            if (start)
                *start = x - run + 1;
        }
    }
    return best;
}

QList<QPair<int, int>> WindowPicture::bands(int x0, int x1, int y0, int y1,
                                            bool (WindowPicture::*test)(int, int) const, int gap) const
{
    QList<QPair<int, int>> found;
    for (int y = y0; y < y1; ++y) {
        bool lit = false;
        for (int x = x0; x < x1 && !lit; ++x)
            lit = (this->*test)(x, y);
        if (!lit)
            continue;
        if (!found.isEmpty() && y - found.last().second <= gap + 1)
            found.last().second = y;
        else
            found.append({y, y});
    }
    return found;
}
