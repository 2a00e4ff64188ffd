// zuv-publish: writes firmware releases into the directory tree that the
// update server serves, and checks such trees the way the program reads them.

#include "exitcode.h"
#include "progress.h"
#include "publisher.h"
#include "release.h"
#include "treeverifier.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include "update/release/releasesignature.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

const char Usage[] =
    "Usage: zuv-publish publish [--quiet] [--sign SECRET-KEY-FILE [--sequence N] [--expires TIME]] RELEASE TREE\n"
    "       zuv-publish verify [--quiet] [--key PUBLIC-KEY] TREE\n"
    "       zuv-publish keygen SECRET-KEY-FILE\n"
    "       zuv-publish --help | --version\n";

const char Help[] =
    "\n"
    "Publishes firmware releases of ZUV devices into the directory tree that an\n"
    "update server (any static HTTP server) serves, and checks such trees.\n"
    "\n"
    "  publish RELEASE TREE  Copies the release in the directory RELEASE into\n"
    "                        TREE, created when missing. New versions are added\n"
    "                        beside those published before; FW.ZUV is switched\n"
    "                        to them last. Publishing again changes nothing.\n"
    "  verify TREE           Checks TREE the way ZUV Update Manager reads it and\n"
    "                        prints each problem as FILE:LINE: TEXT.\n"
    "  keygen SECRET-KEY-FILE\n"
    "                        Writes a new signing key into SECRET-KEY-FILE\n"
    "                        (readable by its owner only; an existing file is\n"
    "                        never overwritten) and prints its public key, the\n"
    "                        line to build the program with:\n"
    "                        cmake -DZUV_RELEASE_KEYS=\"<public key>[;<key>...]\"\n"
    "\n"
    "Options:\n"
    "  --sign SECRET-KEY-FILE\n"
    "                  publish: sign FW.ZUV, changelist.txt and every\n"
    "                  manifest.txt; each signature is <name>.sig beside its\n"
    "                  file. A program built with release keys reads only\n"
    "                  files signed by one of them. A signed tree takes only\n"
    "                  signed releases. FW.ZUV then also carries the release\n"
    "                  record: the model, the release's number, its expiry and\n"
    "                  the SHA-256 and size of the change list, of every\n"
    "                  manifest and of every file. The program installs a\n"
    "                  release only while its record holds: for its model, not\n"
    "                  expired, numbered no lower than what the device has.\n"
    "  --sequence N    publish: the release's number (default: the tree's\n"
    "                  number, plus one for a new release). To go back to an\n"
    "                  older version, publish it with a higher number.\n"
    "  --expires TIME  publish: when the record expires, in UTC, like\n"
    "                  2027-12-01T00:00:00Z (default: a year from now).\n"
    "  --key PUBLIC-KEY\n"
    "                  verify: also check every signature against this public\n"
    "                  key (the line keygen printed, or a file holding it).\n"
    "  -q, --quiet     No progress on stderr.\n"
    "  -h, --help      This text.\n"
    "  -v, --version   The version of zuv-publish.\n"
    "\n"
    "The release directory:\n"
    "  release.ini            [Release]\n"
    "                         Model=TheOrvik\n"
    "                         Bootloader=<version>\n"
    "                         PrimaryFirmware=<version>\n"
    "                         SecondaryFirmware=<version>\n"
    "  changelist.txt         what changed, UTF-8 text (shown in capitals)\n"
    "  Bootloader/            the files of the bootloader version\n"
    "  PrimaryFirmware/       the files of the primary firmware version\n"
    "  SecondaryFirmware/     the files of the secondary firmware version\n"
    "  ANIM/ IMAGES/ SOUNDS/  the secondary firmware's resources (may be empty)\n"
    "A version holds letters, digits, '.', '_' and '-'. Sub-directories are\n"
    "kept. Names must suit the device's FAT card: ASCII, none of \\:*?\"<>|, no\n"
    "blank or dot at the end, no two differing only in case.\n"
    "\n"
    "The tree (all below TREE/ZUVUpdater/<Model>/):\n"
    "  FW.ZUV                       versions offered (VER_BOOT, VER_PRI, VER_SEC)\n"
    "  changelist.txt               the release's change list\n"
    "  Bootloader/<version>/        manifest.txt and the files, one per version\n"
    "  PrimaryFirmware/<version>/   the same\n"
    "  SecondaryFirmware/<version>/ the same\n"
    "  SecondaryFirmware/ANIM/, IMAGES/, SOUNDS/\n"
    "                               the resources, replaced by every release\n"
    "A manifest.txt has one line \"<md5>  <path>\" per file: 32 lower-case\n"
    "hexadecimal digits, two blanks, the path below its directory; LF line ends.\n"
    "\n"
    "Exit status: 0 done; 1 the tree has problems; 2 usage error (arguments, the\n"
    "release, a version already published with other files); 3 I/O error.\n";

void print(FILE *stream, const QString &text)
{
    std::fprintf(stream, "%s\n", qPrintable(text));
}

int usageError(const QString &message)
{
    print(stderr, QStringLiteral("zuv-publish: %1").arg(message));
    std::fputs(Usage, stderr);
    std::fputs("Try 'zuv-publish --help' for more.\n", stderr);
    return UsageError;
}

int failed(int code, const QStringList &problems)
{
    for (const QString &problem : problems)
        print(stderr, QStringLiteral("zuv-publish: %1").arg(problem));
    return code;
}

// Creates the key file readable by its owner only, and never over an
// existing file.
bool writeNewPrivateFile(const QString &path, const QByteArray &content, QString *error)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    const bool written = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    const int savedErrno = errno;
    const bool synced = written && ::fsync(fd) == 0;
    ::close(fd);
    if (!written || !synced) {
        *error = QString::fromLocal8Bit(std::strerror(written ? errno : savedErrno));
        QFile::remove(path);
        return false;
    }
    return true;
#else
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)
        || !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner) || file.write(content) != content.size()
        || !file.flush()) {
        *error = file.errorString();
        file.remove();
        return false;
    }
    return true;
#endif
}

int keygen(const QString &path)
{
    if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
        return usageError(QStringLiteral("%1: already exists; a key is never overwritten").arg(path));
    QByteArray publicKey;
    QByteArray secretKey;
    if (!ReleaseSignature::generateKeyPair(&publicKey, &secretKey))
        return failed(IoError, {QStringLiteral("cannot make a key: no randomness")});
    QByteArray text = ReleaseSignature::secretKeyText(secretKey);
    QString error;
    const bool written = writeNewPrivateFile(path, text, &error);
    text.fill('\0');
    secretKey.fill('\0');
    if (!written)
        return failed(IoError, {QStringLiteral("%1: cannot write: %2").arg(path, error)});
    std::fputs(ReleaseSignature::publicKeyText(publicKey).constData(), stdout);
    return Success;
}

bool readSecretKey(const QString &path, QByteArray *secretKey, QString *problem)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("%1: cannot read: %2").arg(path, file.errorString());
        return false;
    }
    QByteArray text = file.read(4096);
    *secretKey = ReleaseSignature::secretKeyFromText(text);
    text.fill('\0');
    if (secretKey->isEmpty()) {
        *problem = QStringLiteral("%1: not a secret key made by 'zuv-publish keygen'").arg(path);
        return false;
    }
    return true;
}

// The key as keygen printed it, or a file holding that line.
QByteArray readPublicKey(const QString &argument)
{
    const QByteArray key = ReleaseSignature::publicKeyFromText(argument.toLatin1());
    if (!key.isEmpty())
        return key;
    QFile file(argument);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return ReleaseSignature::publicKeyFromText(file.read(4096));
}

struct RecordTerms {
    quint64 sequence = 0;
    QDateTime expires;
};

// Empty when the options give a usable number and expiry; otherwise why not.
QString readRecordTerms(const QString &sequence, const QString &expires, RecordTerms *terms)
{
    bool isNumber = true;
    if (!sequence.isEmpty())
        terms->sequence = sequence.toULongLong(&isNumber);
    if (!isNumber || (!sequence.isEmpty() && terms->sequence == 0))
        return QStringLiteral("--sequence \"%1\": not a number above 0").arg(sequence);
    if (!expires.isEmpty())
        terms->expires = QDateTime::fromString(expires, Qt::ISODate);
    if (!expires.isEmpty() && (!terms->expires.isValid() || terms->expires.timeSpec() != Qt::UTC))
        return QStringLiteral("--expires \"%1\": not a UTC time like 2027-12-01T00:00:00Z").arg(expires);
    return QString();
}

int publish(const QString &releaseDirectory, const QString &tree, const QString &keyFile, const RecordTerms &terms,
            Progress *progress)
{
    QByteArray secretKey;
    QString keyProblem;
    if (!keyFile.isEmpty() && !readSecretKey(keyFile, &secretKey, &keyProblem))
        return usageError(keyProblem);
    Release release;
    QStringList problems;
    if (!release.load(releaseDirectory, &problems))
        return failed(UsageError, problems);
    Publisher publisher(release, tree, progress);
    publisher.setSigningKey(secretKey);
    publisher.setRecordTerms(terms.sequence, terms.expires);
    const ExitCode code = publisher.publish();
    if (code != Success)
        return failed(code, publisher.problems());
    print(stdout, publisher.summary());
    return Success;
}

int verify(const QString &tree, const QString &keyArgument, Progress *progress)
{
    if (!QFileInfo(tree).isDir())
        return usageError(QStringLiteral("%1: no such directory").arg(tree));
    const QByteArray publicKey = keyArgument.isEmpty() ? QByteArray() : readPublicKey(keyArgument);
    if (!keyArgument.isEmpty() && publicKey.isEmpty())
        return usageError(QStringLiteral("%1: not a public key as 'zuv-publish keygen' prints it").arg(keyArgument));
    TreeVerifier verifier(tree, progress);
    verifier.setReleaseKey(publicKey);
    const ExitCode code = verifier.verify();
    for (const QString &problem : verifier.problems())
        print(stdout, problem);
    print(stdout, verifier.summary());
    return code;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zuv-publish"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZUV_PUBLISH_VERSION));
    // The shared code logs its steps for the program's debug log; here they
    // would only bury the report.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    QCommandLineParser parser;
    const QCommandLineOption quiet({QStringLiteral("q"), QStringLiteral("quiet")}, QStringLiteral("No progress."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Help."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")}, QStringLiteral("Version."));
    const QCommandLineOption sign(QStringLiteral("sign"), QStringLiteral("Sign with this key."),
                                  QStringLiteral("SECRET-KEY-FILE"));
    const QCommandLineOption key(QStringLiteral("key"), QStringLiteral("Check signatures against this key."),
                                 QStringLiteral("PUBLIC-KEY"));
    const QCommandLineOption sequence(QStringLiteral("sequence"), QStringLiteral("Release number."),
                                      QStringLiteral("N"));
    const QCommandLineOption expires(QStringLiteral("expires"), QStringLiteral("Record expiry."),
                                     QStringLiteral("TIME"));
    parser.addOptions({quiet, help, version, sign, key, sequence, expires});
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(Usage, stdout);
        std::fputs(Help, stdout);
        return Success;
    }
    if (parser.isSet(version)) {
        print(stdout, QStringLiteral("zuv-publish %1").arg(QCoreApplication::applicationVersion()));
        return Success;
    }

    Progress progress(parser.isSet(quiet));
    const QStringList arguments = parser.positionalArguments();
    const QString command = arguments.value(0);
    if (parser.isSet(sign) && command != QLatin1String("publish"))
        return usageError(QStringLiteral("--sign belongs to 'publish'"));
    if (parser.isSet(key) && command != QLatin1String("verify"))
        return usageError(QStringLiteral("--key belongs to 'verify'"));
    if ((parser.isSet(sequence) || parser.isSet(expires)) && !parser.isSet(sign))
        return usageError(QStringLiteral("--sequence and --expires belong to 'publish --sign'"));
    RecordTerms terms;
    const QString termsProblem = readRecordTerms(parser.value(sequence), parser.value(expires), &terms);
    if (!termsProblem.isEmpty())
        return usageError(termsProblem);
    if (command == QLatin1String("publish") && arguments.size() == 3)
        return publish(arguments.at(1), arguments.at(2), parser.value(sign), terms, &progress);
    if (command == QLatin1String("verify") && arguments.size() == 2)
        return verify(arguments.at(1), parser.value(key), &progress);
    if (command == QLatin1String("keygen") && arguments.size() == 2)
        return keygen(arguments.at(1));
    if (command == QLatin1String("publish") || command == QLatin1String("verify")
        || command == QLatin1String("keygen"))
        return usageError(QStringLiteral("wrong number of arguments for '%1'").arg(command));
    if (command.isEmpty())
        return usageError(QStringLiteral("no command given"));
    return usageError(QStringLiteral("unknown command '%1'").arg(command));
}
