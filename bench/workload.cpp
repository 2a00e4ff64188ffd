#include "workload.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QVector>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1024 * KiB;

const char *const ReleaseDirectories[] = {"PrimaryFirmware", "SecondaryFirmware", "ANIM", "IMAGES", "SOUNDS"};
const char *const Extensions[] = {"BIN", "DAT", "ANM", "IMG", "SND"};

// splitmix64: fast, and the same numbers on every machine.
class Random
{
public:
    explicit Random(quint64 seed)
        : m_state(seed)
    {
    }
    quint64 next()
    {
        quint64 z = (m_state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    double unit() { return (next() >> 11) * (1.0 / 9007199254740992.0); }

private:
    quint64 m_state;
};

quint64 fnv1a(const QByteArray &text)
{
    quint64 hash = 0xcbf29ce484222325ULL;
    for (const char c : text) {
        hash ^= quint8(c);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

// The bytes of one version of one file depend on the seed, the file's place
// and the version only; they do not compress.
bool writeContent(const QString &path, qint64 size, quint64 seed, const Workload::File &file,
                  const QString &version, QString *error)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = QStringLiteral("cannot write \"%1\": %2").arg(path, out.errorString());
        return false;
    }
    Random random(seed ^ fnv1a((file.releaseDirectory + QLatin1Char('/') + file.path + QLatin1Char('@') + version)
                                   .toUtf8()));
    QByteArray block(int(qMin<qint64>(size, MiB)), Qt::Uninitialized);
    for (qint64 written = 0; written < size;) {
        const int n = int(qMin<qint64>(block.size(), size - written));
        auto *words = reinterpret_cast<quint64 *>(block.data());
        for (int i = 0; i < n / 8; ++i)
            words[i] = random.next();
        for (int i = n / 8 * 8; i < n; ++i)
            block[i] = char(random.next());
        if (out.write(block.constData(), n) != n) {
            *error = QStringLiteral("cannot write \"%1\": %2").arg(path, out.errorString());
            return false;
        }
        written += n;
    }
    return true;
}

bool writeText(const QString &path, const QByteArray &text, QString *error)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(text) != text.size()) {
        *error = QStringLiteral("cannot write \"%1\": %2").arg(path, out.errorString());
        return false;
    }
    return true;
}

// Spreads `count` files over the five update directories, 50 to a
// sub-directory, named so that no two meet on the card.
Workload::File placeFile(int index, qint64 size, Workload::DeviceCopy onDevice)
{
    const int kind = index % 5;
    const int number = index / 5;
    Workload::File file;
    file.releaseDirectory = QLatin1String(ReleaseDirectories[kind]);
    const QString prefix = kind == 0 ? QStringLiteral("PRI/") : kind == 1 ? QStringLiteral("SEC/") : QString();
    file.path = QStringLiteral("%1D%2/F%3.%4")
                    .arg(prefix)
                    .arg(number / 50, 2, 10, QLatin1Char('0'))
                    .arg(number, 4, 10, QLatin1Char('0'))
                    .arg(QLatin1String(Extensions[kind]));
    file.size = size;
    file.onDevice = onDevice;
    return file;
}

// `count` sizes between smallest and largest, spread evenly on a log scale
// and bent towards the small end until they add up to `total`: many small
// resources, a few large images.
QList<qint64> spreadSizes(quint64 seed, int count, qint64 smallest, qint64 largest, qint64 total)
{
    Random random(seed);
    QList<double> draws;
    for (int i = 0; i < count; ++i)
        draws.append(random.unit());
    draws[0] = 0.0; // one file of each extreme
    draws[1] = 1.0;
    const double ratio = std::log(double(largest) / double(smallest));
    auto sizesFor = [&](double bend) {
        QList<qint64> sizes;
        for (const double draw : qAsConst(draws))
            sizes.append(qint64(std::llround(smallest * std::exp(ratio * std::pow(draw, bend)))));
        return sizes;
    };
    auto sum = [](const QList<qint64> &sizes) { return std::accumulate(sizes.cbegin(), sizes.cend(), qint64(0)); };
    double low = 0.01, high = 100.0; // the sum falls as the bend grows
    for (int step = 0; step < 100; ++step) {
        const double middle = std::sqrt(low * high);
        (sum(sizesFor(middle)) > total ? low : high) = middle;
    }
    QList<qint64> sizes = sizesFor(high);
    // What is left goes to the largest files below the limit.
    qint64 rest = total - sum(sizes);
    QVector<int> order(count);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int a, int b) { return sizes[a] > sizes[b]; });
    for (int i = 1; rest > 0 && i < count; ++i) {
        const qint64 add = qMin(rest, largest - sizes[order[i]]);
        sizes[order[i]] += add;
        rest -= add;
    }
    return sizes;
}

// A workload with its name, its description for the report and its seed.
Workload named(const QString &name, const QString &description, quint64 seed)
{
    Workload workload;
    workload.name = name;
    workload.description = description;
    workload.seed = seed;
    return workload;
}

} // namespace

QString Workload::File::devicePath() const
{
    if (releaseDirectory == QLatin1String("PrimaryFirmware") || releaseDirectory == QLatin1String("SecondaryFirmware"))
        return path;
    return releaseDirectory + QLatin1Char('/') + path;
}

Workload Workload::release(quint64 seed)
{
    Workload workload = named(QStringLiteral("release"), QStringLiteral(
        "2,000 files, 512 MiB, 1 KiB to 64 MiB; the card holds the previous release, half the files unchanged"), seed);
    workload.pairs = 5; // its target compares the two pipelines' medians
    const QList<qint64> sizes = spreadSizes(seed, 2000, KiB, 64 * MiB, 512 * MiB);
    // Every other file by size stays the same, so about half the bytes do too.
    QVector<int> bySize(sizes.size());
    std::iota(bySize.begin(), bySize.end(), 0);
    std::sort(bySize.begin(), bySize.end(), [&](int a, int b) { return sizes[a] < sizes[b]; });
    QVector<DeviceCopy> copies(sizes.size());
    for (int rank = 0; rank < bySize.size(); ++rank)
        copies[bySize[rank]] = rank % 2 == 0 ? Unchanged : Outdated;
    for (int i = 0; i < sizes.size(); ++i)
        workload.files.append(placeFile(i, sizes[i], copies[i]));
    return workload;
}

Workload Workload::manySmall(quint64 seed)
{
    Workload workload = named(QStringLiteral("many-small"), QStringLiteral("10,000 files of 4 KiB, none on the card"), seed);
    for (int i = 0; i < 10000; ++i)
        workload.files.append(placeFile(i, 4 * KiB, Absent));
    return workload;
}

Workload Workload::oneBig(quint64 seed)
{
    Workload workload = named(QStringLiteral("one-big"), QStringLiteral("one file of 1 GiB; the card holds its previous version"), seed);
    workload.secondaryChanges = false;
    File file;
    file.releaseDirectory = QStringLiteral("PrimaryFirmware");
    file.path = QStringLiteral("PRIMARY.BIN");
    file.size = 1024 * MiB;
    file.onDevice = Outdated;
    workload.files.append(file);
    return workload;
}

Workload Workload::scaling(quint64 seed, int fileCount)
{
    constexpr qint64 Total = 128 * MiB;
    Workload workload = named(QStringLiteral("scale-%1").arg(fileCount), QStringLiteral("%L1 files of %2 KiB (128 MiB in all); the card holds older versions of all")
                               .arg(fileCount)
                               .arg(double(Total) / fileCount / KiB, 0, 'f', 1), seed);
    for (int i = 0; i < fileCount; ++i)
        workload.files.append(placeFile(i, Total / fileCount + (i < Total % fileCount ? 1 : 0), Outdated));
    return workload;
}

Workload Workload::smoke(quint64 seed)
{
    Workload workload = named(QStringLiteral("smoke"), QStringLiteral("30 files, 1 KiB to 256 KiB, a third each absent, unchanged, outdated"), seed);
    workload.pairs = 1;
    const QList<qint64> sizes = spreadSizes(seed, 30, KiB, 256 * KiB, 2 * MiB);
    for (int i = 0; i < sizes.size(); ++i)
        workload.files.append(placeFile(i, sizes[i], DeviceCopy(i % 3)));
    return workload;
}

Workload Workload::homeLink(quint64 seed)
{
    Workload workload = release(seed);
    workload.name = QStringLiteral("home-link");
    workload.description = QStringLiteral("the release, served at 8 MiB/s for all connections together");
    workload.pairs = 2;
    workload.linkBytesPerSecond = 8 * MiB;
    return workload;
}

Workload Workload::farLink(quint64 seed)
{
    // The home link, with a round trip as far as across a continent.
    Workload workload = homeLink(seed);
    workload.name = QStringLiteral("far-link");
    workload.description = QStringLiteral("the release over a 60 ms round trip at 8 MiB/s for all connections together");
    workload.linkDelayMs = 30;
    return workload;
}

Workload Workload::farSmall(quint64 seed)
{
    Workload workload = scaling(seed, 2000);
    workload.name = QStringLiteral("far-small");
    workload.description = QStringLiteral("2,000 files of 16 KiB over a 60 ms round trip at 8 MiB/s");
    for (File &file : workload.files)
        file.size = 16 * 1024;
    workload.pairs = 2;
    workload.linkBytesPerSecond = 8 * MiB;
    workload.linkDelayMs = 30;
    return workload;
}

Workload Workload::retry(quint64 seed)
{
    Workload workload = homeLink(seed);
    workload.name = QStringLiteral("retry");
    workload.description = QStringLiteral("the release at 8 MiB/s; the link breaks at 90 % of the bytes, then a "
                                          "second attempt");
    workload.failAtFraction = 0.9;
    return workload;
}

namespace {

// The bytes of the files for which accept() holds.
template<typename Accept>
qint64 bytesOf(const QList<Workload::File> &files, Accept accept)
{
    qint64 total = 0;
    for (const Workload::File &file : files) {
        if (accept(file))
            total += file.size;
    }
    return total;
}

} // namespace

qint64 Workload::totalBytes() const
{
    return bytesOf(files, [](const File &) { return true; });
}

qint64 Workload::deviceBytesChecked() const
{
    return bytesOf(files, [](const File &file) { return file.onDevice != Absent; });
}

int Workload::filesToFetch() const
{
    return int(std::count_if(files.cbegin(), files.cend(), [](const File &file) { return file.onDevice != Unchanged; }));
}

qint64 Workload::bytesToFetch() const
{
    return bytesOf(files, [](const File &file) { return file.onDevice != Unchanged; });
}

qint64 Workload::volumeSize() const
{
    return deviceBytesChecked() + bytesToFetch() + qint64(files.size()) * 8 * KiB + 64 * MiB;
}

bool Workload::writeRelease(const QString &directory, QString *error) const
{
    const QByteArray info = QStringLiteral("[Release]\nModel=%1\nBootloader=%2\nPrimaryFirmware=%3\nSecondaryFirmware=%4\n")
                                .arg(model(), previousVersion(), primaryChanges ? newVersion() : previousVersion(),
                                     secondaryChanges ? newVersion() : previousVersion())
                                .toUtf8();
    if (!writeText(directory + QStringLiteral("/release.ini"), info, error)
        || !writeText(directory + QStringLiteral("/changelist.txt"), "Benchmark release " + name.toUtf8() + '\n',
                      error)) {
        return false;
    }
    for (const char *name : {"Bootloader", "PrimaryFirmware", "SecondaryFirmware", "ANIM", "IMAGES", "SOUNDS"})
        QDir(directory).mkpath(QLatin1String(name));
    for (const File &file : files) {
        if (!writeContent(directory + QLatin1Char('/') + file.releaseDirectory + QLatin1Char('/') + file.path,
                          file.size, seed, file, newVersion(), error)) {
            return false;
        }
    }
    return true;
}

bool Workload::writeDevice(const QString &directory, QString *error) const
{
    const QByteArray info = QStringLiteral("SN_PRI=BENCH-0001\nVER_BOOT=%1\nVER_PRI=%1\nVER_SEC=%1\n")
                                .arg(previousVersion())
                                .toUtf8();
    if (!writeText(directory + QStringLiteral("/FW.ZUV"), info, error)
        || !writeText(directory + QStringLiteral("/ZUV.FW"), "installed\n", error)) {
        return false;
    }
    for (const File &file : files) {
        if (file.onDevice == Absent)
            continue;
        const QString version = file.onDevice == Unchanged ? newVersion() : previousVersion();
        if (!writeContent(directory + QLatin1Char('/') + file.devicePath(), file.size, seed, file, version, error))
            return false;
    }
    return true;
}

QList<QPair<QString, QString>> Workload::updateDirectories(const QString &serverRoot) const
{
    // The program's base address ends in "/", and the directory patterns
    // start with one, hence the "//".
    const QString base = QStringLiteral("%1/ZUVUpdater/%2/").arg(serverRoot, model());
    QList<QPair<QString, QString>> directories;
    if (primaryChanges)
        directories.append({QString(), QStringLiteral("%1/PrimaryFirmware/%2/manifest.txt").arg(base, newVersion())});
    if (secondaryChanges) {
        for (const char *resource : {"ANIM", "IMAGES", "SOUNDS"}) {
            directories.append({QLatin1String(resource),
                                QStringLiteral("%1/SecondaryFirmware/%2/manifest.txt").arg(base, QLatin1String(resource))});
        }
        directories.append({QString(), QStringLiteral("%1/SecondaryFirmware/%2/manifest.txt").arg(base, newVersion())});
    }
    return directories;
}

QString Workload::model()
{
    return QStringLiteral("TheOrvik");
}

QString Workload::previousVersion()
{
    return QStringLiteral("1.0");
}

QString Workload::newVersion()
{
    return QStringLiteral("2.0");
}
