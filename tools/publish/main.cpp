// zuv-publish: writes firmware releases into the directory tree that the
// update server serves, and checks such trees the way the program reads them.

#include "exitcode.h"
#include "progress.h"
#include "publisher.h"
#include "release.h"
#include "treeverifier.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLoggingCategory>

#include <cstdio>

namespace {

const char Usage[] =
    "Usage: zuv-publish publish [--quiet] RELEASE TREE\n"
    "       zuv-publish verify [--quiet] TREE\n"
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
    "\n"
    "Options:\n"
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

int publish(const QString &releaseDirectory, const QString &tree, Progress *progress)
{
    Release release;
    QStringList problems;
    if (!release.load(releaseDirectory, &problems))
        return failed(UsageError, problems);
    Publisher publisher(release, tree, progress);
    const ExitCode code = publisher.publish();
    if (code != Success)
        return failed(code, publisher.problems());
    print(stdout, publisher.summary());
    return Success;
}

int verify(const QString &tree, Progress *progress)
{
    if (!QFileInfo(tree).isDir())
        return usageError(QStringLiteral("%1: no such directory").arg(tree));
    TreeVerifier verifier(tree, progress);
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
    parser.addOptions({quiet, help, version});
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
    if (command == QLatin1String("publish") && arguments.size() == 3)
        return publish(arguments.at(1), arguments.at(2), &progress);
    if (command == QLatin1String("verify") && arguments.size() == 2)
        return verify(arguments.at(1), &progress);
    if (command == QLatin1String("publish") || command == QLatin1String("verify"))
        return usageError(QStringLiteral("wrong number of arguments for '%1'").arg(command));
    if (command.isEmpty())
        return usageError(QStringLiteral("no command given"));
    return usageError(QStringLiteral("unknown command '%1'").arg(command));
}
