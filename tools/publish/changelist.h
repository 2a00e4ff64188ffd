#ifndef ZUV_PUBLISH_CHANGELIST_H
#define ZUV_PUBLISH_CHANGELIST_H

#include <QByteArray>
#include <QString>

// The change list is shown as UTF-8 text, up to its first zero byte.
namespace Changelist {

// Empty when the text shows in full; otherwise what is wrong, starting with
// the line number ("3: ...").
QString problem(const QByteArray &text);

} // namespace Changelist

#endif
