#ifndef ZUV_HELPERS_IO_H
#define ZUV_HELPERS_IO_H

#include <QtGlobal>

QT_BEGIN_NAMESPACE
class QIODevice;
QT_END_NAMESPACE

namespace Helpers {
namespace IO {

// Largest block moved by one read and one write.
constexpr qint64 MaximumBlockSize = 104857600;

// Moves everything `from` can deliver now into `to`. Returns false when a
// write fails; what was written before stays written. A read error ends the
// copy like the end of the data.
bool copy(QIODevice *from, QIODevice *to);

} // namespace IO
} // namespace Helpers

#endif
