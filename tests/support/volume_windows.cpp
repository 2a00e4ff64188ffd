#include "volume.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

namespace {

// The drive that holds the cards: a drive letter mapped by the test runner
// (so the program's Windows file code runs on a drive of its own), else the
// temporary directory.
QString cardParent()
{
    const QString root = qEnvironmentVariable("ZUV_TEST_CARD_ROOT");
    return root.isEmpty() ? QDir::tempPath() : QDir::fromNativeSeparators(root);
}

} // namespace

Volume::Kind Volume::kind()
{
    return Directory;
}

QString Volume::unavailableReason()
{
    const QFileInfo parent(cardParent());
    if (!parent.isDir() || !parent.isWritable())
        return QStringLiteral("the card directory's parent \"%1\" is not a writable directory "
                              "(ZUV_TEST_CARD_ROOT)").arg(parent.filePath());
    return {};
}

QString Volume::faultsUnavailableReason()
{
    return QStringLiteral("the card is a plain directory here: it can neither fill up nor turn read-only");
}

Volume::Volume(qint64 sizeBytes)
    : m_base(QDir(cardParent()).filePath(QStringLiteral("zuv-volume-XXXXXX")))
    , m_size(sizeBytes)
{
}

Volume::~Volume()
{
    if (m_mounted)
        unmount();
}

QString Volume::rootPath() const
{
    return m_base.filePath(QStringLiteral("card"));
}

bool Volume::mount()
{
    if (!m_base.isValid())
        return false;
    m_mounted = QDir().mkpath(rootPath());
    return m_mounted;
}

bool Volume::remountReadOnly(bool)
{
    qWarning("%s", qPrintable(faultsUnavailableReason()));
    return false;
}

bool Volume::unmount(bool)
{
    // The directory goes with m_base; files the writer left read-only are
    // made writable first, or Windows keeps them.
    QDirIterator it(rootPath(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile::setPermissions(path, QFile::permissions(path) | QFile::WriteOwner);
    }
    m_mounted = false;
    return true;
}
