// Runs a fuzz target over the files named on the command line, or every
// file of the directories named, so that the seed corpus is a plain
// regression test in builds without libFuzzer.
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int replay(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        return 1;
    }
    const QByteArray bytes = file.readAll();
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    int inputs = 0;
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        const QString argument = QFile::decodeName(argv[i]);
        if (!QFileInfo(argument).isDir()) {
            failures += replay(argument);
            ++inputs;
            continue;
        }
        QDirIterator it(argument, QDir::Files);
        while (it.hasNext()) {
            failures += replay(it.next());
            ++inputs;
        }
    }
    std::printf("%d inputs replayed, %d unreadable\n", inputs, failures);
    return failures == 0 && inputs > 0 ? 0 : 1;
}
