#include "changelist.h"

#include <QTextCodec>

namespace Changelist {
namespace {

int lineOf(const QByteArray &text, int position)
{
    return text.left(position).count('\n') + 1;
}

} // namespace

QString problem(const QByteArray &text)
{
    const int zero = text.indexOf('\0');
    if (zero >= 0)
        return QStringLiteral("%1: a zero byte, after which the program shows nothing").arg(lineOf(text, zero));
    QTextCodec::ConverterState state;
    QTextCodec::codecForName("UTF-8")->toUnicode(text.constData(), text.size(), &state);
    if (state.invalidChars > 0 || state.remainingChars > 0) {
        // Find the first line that does not decode on its own.
        const QList<QByteArray> lines = text.split('\n');
        for (int i = 0; i < lines.size(); ++i) {
            QTextCodec::ConverterState lineState;
            QTextCodec::codecForName("UTF-8")->toUnicode(lines.at(i).constData(), lines.at(i).size(), &lineState);
            if (lineState.invalidChars > 0 || lineState.remainingChars > 0)
                return QStringLiteral("%1: not UTF-8 text").arg(i + 1);
        }
        return QStringLiteral("1: not UTF-8 text");
    }
    return QString();
}

} // namespace Changelist
