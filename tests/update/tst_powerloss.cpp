#include "update/card/devicewriter.h"
#include "update/card/writerjournal_p.h"

#include "powerlosscard.h"
#include "testfiles.h"
#include "volume.h"

#include <QDir>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstdio>
#include <tuple>

#include <dlfcn.h>

// The writer flushes the volume where a directory flush is refused. The
// kernel does not pass that on to the recording card, so the flush is
// wrapped here and the card told of it.
extern "C" int syncfs(int fd)
{
    using SyncFs = int (*)(int);
    static const auto system = reinterpret_cast<SyncFs>(::dlsym(RTLD_NEXT, "syncfs"));
    if (!system) {
        errno = ENOSYS;
        return -1;
    }
    const int result = system(fd);
    if (result == 0) {
        const int error = errno;
        PowerLossCard::noteVolumeFlush(fd);
        errno = error;
    }
    return result;
}

using Card = PowerLossCard::Card;

namespace {

// What the tests report to CTest when the machine cannot mount a recording card.
constexpr int SkipExitCode = 77;

// The device's install flag goes once a release is on the card.
const QStringList RemovedAfterCommit{QStringLiteral("ZUV.FW")};

// Adds the directories that hold the files, as PowerLossCard::readCard lists them.
Card withDirectories(Card card)
{
    const QStringList paths = card.keys();
    for (const QString &path : paths) {
        for (int slash = path.indexOf(QLatin1Char('/')); slash > 0 && slash < path.size() - 1;
             slash = path.indexOf(QLatin1Char('/'), slash + 1))
            card.insert(path.left(slash + 1), QByteArray());
    }
    return card;
}

Card updated(const Card &old, const Card &release)
{
    Card card = old;
    card.remove(QStringLiteral("ZUV.FW"));
    for (auto it = release.cbegin(); it != release.cend(); ++it)
        card.insert(it.key(), it.value());
    return withDirectories(card);
}

QByteArray filler(char seed, int size)
{
    QByteArray data(size, seed);
    for (int i = 0; i < size; i += 97)
        data[i] = char(i / 97);
    return data;
}

QString difference(const Card &card, const Card &expected)
{
    QStringList lines;
    for (auto it = card.cbegin(); it != card.cend(); ++it) {
        if (!expected.contains(it.key()))
            lines << QStringLiteral("+%1").arg(it.key());
        else if (expected.value(it.key()) != it.value())
            lines << QStringLiteral("~%1").arg(it.key());
    }
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (!card.contains(it.key()))
            lines << QStringLiteral("-%1").arg(it.key());
    }
    return lines.join(QLatin1Char(' '));
}

// What a repaired card holds, worst first: a version of a file that is
// neither the old nor the new one (or an untouched file changed); old and
// new versions side by side; ZUV.FW gone while old versions are in place;
// one release with something more (a .zuv-* file, the journal, ZUV.FW
// kept); exactly the old card; exactly the updated one.
struct Tally {
    enum Outcome { Lost, Mixed, ZuvFwWrong, Leftover, Old, New, Count };
    int counts[Count] = {};
    int states = 0;
    bool mixRefusable = false; // a mix the repair refused to act on, ZUV.FW kept, is not a failure
    int refusedMixes = 0;
    QStringList failures; // the first few

    QString summary() const
    {
        return QStringLiteral("%1 states: lost %2, mixed %3 (refused with ZUV.FW kept: %8), ZUV.FW-wrong %4, "
                              "leftover %5, old %6, new %7")
            .arg(states).arg(counts[Lost]).arg(counts[Mixed]).arg(counts[ZuvFwWrong]).arg(counts[Leftover])
            .arg(counts[Old]).arg(counts[New]).arg(refusedMixes);
    }
};

Tally::Outcome classify(const Card &after, const Card &old, const Card &release)
{
    if (after == old)
        return Tally::Old;
    if (after == updated(old, release))
        return Tally::New;
    bool anyOld = false;
    bool anyNew = false;
    for (auto it = release.cbegin(); it != release.cend(); ++it) {
        const bool isNew = after.contains(it.key()) && after.value(it.key()) == it.value();
        const bool isOld = old.contains(it.key()) ? after.contains(it.key()) && after.value(it.key()) == old.value(it.key())
                                                  : !after.contains(it.key());
        if (!isNew && !isOld)
            return Tally::Lost;
        anyOld = anyOld || (isOld && !isNew);
        anyNew = anyNew || (isNew && !isOld);
    }
    for (auto it = old.cbegin(); it != old.cend(); ++it) {
        if (!release.contains(it.key()) && it.key() != QLatin1String("ZUV.FW")
            && (!after.contains(it.key()) || after.value(it.key()) != it.value()))
            return Tally::Lost;
    }
    if (anyOld && anyNew)
        return Tally::Mixed;
    if (anyOld && !after.contains(QStringLiteral("ZUV.FW")))
        return Tally::ZuvFwWrong;
    return Tally::Leftover;
}

// Repairs each card on the scratch volume and tallies what the repair
// reached. A repair that reports success must leave exactly one release.
void repairStates(const QList<Card> &states, const Card &old, const Card &release, const QString &scratch,
                  const QString &context, Tally *tally)
{
    for (const Card &state : states) {
        clearDirectory(scratch);
        QVERIFY(PowerLossCard::writeCard(scratch, state));
        QString error;
        const bool repaired = DeviceWriter::repair(scratch, RemovedAfterCommit, &error);
        const Card after = PowerLossCard::readCard(scratch);
        const Tally::Outcome outcome = classify(after, old, release);
        ++tally->counts[outcome];
        ++tally->states;
        const bool falseSuccess = repaired && outcome == Tally::Leftover;
        // A journal of another update names none of the files a write cut
        // short left half in place: the repair refuses it, keeps ZUV.FW and
        // every file, and the next run writes the release over them.
        const bool refusedMix = tally->mixRefusable && outcome == Tally::Mixed && !repaired
            && after.contains(QStringLiteral("ZUV.FW"));
        if (refusedMix)
            ++tally->refusedMixes;
        if ((outcome < Tally::Leftover || falseSuccess) && !refusedMix && tally->failures.size() < 5) {
            tally->failures << QStringLiteral("%1: repair %2; against old: %3; against new: %4")
                                   .arg(context, repaired ? QStringLiteral("done") : error, difference(after, old),
                                        difference(after, updated(old, release)));
        }
    }
}

// Every card that a cut of the recording may leave.
void repairEveryCut(const PowerLossCard &card, const Card &old, const Card &release, const QString &scratch,
                    const QString &context, Tally *tally)
{
    for (int k = 0; k <= card.operationCount(); ++k) {
        repairStates(card.cardsAfterCut(k), old, release, scratch,
                     QStringLiteral("%1cut after %2 (%3)")
                         .arg(context).arg(k)
                         .arg(k > 0 ? card.operationText(k - 1) : QStringLiteral("nothing")),
                     tally);
    }
}

// A well-formed journal of another update of the same files, whose
// versions are on no card.
QByteArray journalOfAnotherUpdate(const Card &release)
{
    QTemporaryDir directory;
    WriterJournal journal(directory.path());
    for (auto it = release.cbegin(); it != release.cend(); ++it) {
        const QByteArray digest = md5Hex(it.value() + "elsewhere");
        journal.files.append({QString(), it.key(), true, digest, 1, digest, 1});
    }
    journal.committed = true;
    journal.removedAfterCommit = RemovedAfterCommit;
    return journal.toText();
}

// The journal of each cut replaced by one that is stale: the write's
// journal of the other state, or one of another update.
QList<Card> staleJournalStates(const PowerLossCard &card, int k, const Card &release)
{
    const QString name = WriterJournal::fileName();
    QList<QByteArray> journals{journalOfAnotherUpdate(release)};
    for (int i = 0; i <= card.operationCount(); ++i) {
        const QByteArray journal = card.cardAsWritten(i).value(name);
        if (!journal.isEmpty() && !journals.contains(journal))
            journals.append(journal);
    }
    QList<Card> states;
    const Card state = card.cardsAfterCut(k).first();
    for (const QByteArray &journal : qAsConst(journals)) {
        if (state.contains(name) && state.value(name) != journal) {
            Card stale = state;
            stale.insert(name, journal);
            states.append(stale);
        }
    }
    return states;
}

// The first card of each journal the write made, that journal cut short at
// every byte.
QList<Card> damagedJournalStates(const PowerLossCard &card)
{
    const QString name = WriterJournal::fileName();
    QList<Card> states;
    QByteArray previous;
    for (int k = 0; k <= card.operationCount(); ++k) {
        const Card state = card.cardsAfterCut(k).first();
        const QByteArray journal = state.value(name);
        if (journal.isEmpty() || journal == previous)
            continue;
        previous = journal;
        for (int size = 0; size < journal.size(); ++size) {
            Card damaged = state;
            damaged.insert(name, journal.left(size));
            states.append(damaged);
        }
    }
    return states;
}

} // namespace

class PowerLossTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cutAtEveryOperation_data();
    void cutAtEveryOperation();
    void cutDuringRepair_data() { cutAtEveryOperation_data(); }
    void cutDuringRepair();

private:
    // Writes the release onto the old card through a recording card.
    void recordWrite(PowerLossCard *card, const Card &old, const Card &release);

    // Each rebuilt card is repaired on a tmpfs of its own: cheap to flush.
    QScopedPointer<Volume> m_scratch;
};

void PowerLossTest::initTestCase()
{
    m_scratch.reset(new Volume(64 * 1024 * 1024));
    QVERIFY(m_scratch->mount());
}

void PowerLossTest::cutAtEveryOperation_data()
{
    QTest::addColumn<Card>("old");
    QTest::addColumn<Card>("release");
    QTest::addColumn<int>("model");
    QTest::addColumn<bool>("journals"); // the journal stale or damaged too

    const Card used{{"FW.ZUV", "VER_BOOT=1\nVER_PRI=1\nVER_SEC=1\n"}, {"ZUV.FW", "install"},
                    {"PRI.BIN", filler('p', 3000)}, {"BOOT.BIN", "bootloader, untouched"},
                    {"SEC.BIN", "old secondary"}, {"ANIM/A1.BIN", "old a1"}, {"ANIM/A2.BIN", "untouched a2"},
                    {"IMAGES/I1.BIN", "old i1"}, {"SOUNDS/S1.WAV", "old s1"}};
    // Changed and new files, in old and new directories; one spans several writes.
    const Card release{{"PRI.BIN", filler('P', 300 * 1024)}, {"SEC.BIN", "new secondary"},
                       {"ANIM/A1.BIN", "new a1, longer than before"}, {"ANIM/A3.BIN", "new a3"},
                       {"IMAGES/I1.BIN", ""}, {"IMAGES/NEW/I9.BIN", "new i9"},
                       {"SOUNDS/S1.WAV", "new s1"}, {"SOUNDS/S2.WAV", "new s2"}};
    const Card blank{{"FW.ZUV", "VER_BOOT=1\n"}, {"ZUV.FW", "install"}};
    const Card fresh{{"PRI.BIN", "primary"}, {"ANIM/A1.BIN", "a1"}, {"ANIM/DEEP/A2.BIN", "a2"}};
    // ZUV_POWERLOSS_MODEL picks the card's model; each takes minutes.
    const QByteArray name = qgetenv("ZUV_POWERLOSS_MODEL");
    const std::tuple<const char *, int, bool> model = name == "torn-renames"
        ? std::make_tuple(", torn renames", int(PowerLossCard::TornRenames), false)
        : name == "refused-directory-flushes"
        ? std::make_tuple(", refused directory flushes", int(PowerLossCard::RefusedDirectoryFlushes), false)
        : name == "stale-journal" ? std::make_tuple(", stale or damaged journal", int(PowerLossCard::Ordered), true)
                                  : std::make_tuple("", int(PowerLossCard::Ordered), false);
    {
        QTest::addRow("firmware update of a used card%s", std::get<0>(model))
            << withDirectories(used) << release << std::get<1>(model) << std::get<2>(model);
        QTest::addRow("first release on a blank card%s", std::get<0>(model))
            << withDirectories(blank) << fresh << std::get<1>(model) << std::get<2>(model);
    }
}

void PowerLossTest::recordWrite(PowerLossCard *card, const Card &old, const Card &release)
{
    QTemporaryDir sources;
    QVERIFY(PowerLossCard::writeCard(sources.path(), release));
    QVERIFY(card->mount(old));
    DeviceWriter writer(card->rootPath());
    for (auto it = release.cbegin(); it != release.cend(); ++it)
        writer.addFile(sources.path() + QLatin1Char('/') + it.key(), it.key());
    writer.setRemovedAfterCommit(RemovedAfterCommit);
    QVERIFY2(writer.write(), qPrintable(writer.errorString()));
    QCOMPARE(PowerLossCard::readCard(card->rootPath()), updated(old, release));
    QVERIFY(card->unmount());
}

// The writer replaces the release's files and removes ZUV.FW. Whatever
// operation the power is lost after, and whatever the card kept of what was
// not flushed, the repair of the next run never loses a version, never
// mixes two releases and never leaves ZUV.FW removed over old versions;
// when it reports success the card holds exactly one release. Once
// write() has succeeded nothing it wrote may still be lost.
void PowerLossTest::cutAtEveryOperation()
{
    QFETCH(Card, old);
    QFETCH(Card, release);
    QFETCH(int, model);
    QFETCH(bool, journals);
    PowerLossCard card{PowerLossCard::Model(model)};
    recordWrite(&card, old, release);
    if (QTest::currentTestFailed())
        return;

    Tally tally;
    tally.mixRefusable = journals;
    if (journals) {
        for (int k = 0; k <= card.operationCount(); ++k)
            repairStates(staleJournalStates(card, k, release), old, release, m_scratch->rootPath(),
                         QStringLiteral("stale journal at cut %1").arg(k), &tally);
        repairStates(damagedJournalStates(card), old, release, m_scratch->rootPath(),
                     QStringLiteral("damaged journal"), &tally);
    } else {
        repairEveryCut(card, old, release, m_scratch->rootPath(), QString(), &tally);
    }
    // Printed whatever the result, so a change of the writer can be compared.
    const int operations = card.operationCount();
    std::printf("%s: %d operations, %d flushes, %d not flushed at success; %s\n", QTest::currentDataTag(),
                operations, card.flushCount(), card.pendingAfter(operations), qPrintable(tally.summary()));
    std::fflush(stdout);
    QVERIFY2(tally.failures.isEmpty(), qPrintable(tally.failures.join(QLatin1Char('\n'))));
    if (model != PowerLossCard::RefusedDirectoryFlushes)
        QCOMPARE(card.pendingAfter(operations), 0);
}

// The power may go again while the next run repairs the card. The repair of
// each card a cut of the write leaves (as the program saw it, and with only
// what was flushed) is itself cut at every operation and repaired once more.
void PowerLossTest::cutDuringRepair()
{
    QFETCH(Card, old);
    QFETCH(Card, release);
    QFETCH(int, model);
    QFETCH(bool, journals);
    PowerLossCard write{PowerLossCard::Model(model)};
    recordWrite(&write, old, release);
    if (QTest::currentTestFailed())
        return;

    Tally tally;
    tally.mixRefusable = journals;
    int repairs = 0;
    // A card that lands its names in any order leaves hundreds of states
    // at each cut of a repair: the repairs of every third cut of the write
    // (and of the last) are cut, so the suite ends in its time under the
    // sanitizers too.
    const int every = model == PowerLossCard::RefusedDirectoryFlushes ? 3 : 1;
    for (int k = 0; k <= write.operationCount(); ++k) {
        if (k % every != 0 && k != write.operationCount())
            continue;
        const Card flushed = write.cardsAfterCut(k).first();
        const Card written = write.cardAsWritten(k);
        QList<Card> states = journals ? staleJournalStates(write, k, release) : QList<Card>{flushed};
        if (!journals && written != flushed)
            states.append(written);
        for (const Card &state : qAsConst(states)) {
            if (!state.contains(WriterJournal::fileName()))
                continue;
            PowerLossCard repair{PowerLossCard::Model(model)};
            QVERIFY(repair.mount(state));
            DeviceWriter::repair(repair.rootPath(), RemovedAfterCommit);
            QVERIFY(repair.unmount());
            ++repairs;
            repairEveryCut(repair, old, release, m_scratch->rootPath(),
                           QStringLiteral("repair of the write cut after %1, ").arg(k), &tally);
        }
    }
    std::printf("%s: %d repairs cut; %s\n", QTest::currentDataTag(), repairs, qPrintable(tally.summary()));
    std::fflush(stdout);
    QVERIFY(repairs > 0);
    QVERIFY2(tally.failures.isEmpty(), qPrintable(tally.failures.join(QLatin1Char('\n'))));
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // Thousands of repairs each say what they do; the summary is enough.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const QString unavailable = PowerLossCard::unavailableReason();
    if (!unavailable.isEmpty() || !Volume::unavailableReason().isEmpty()) {
        std::printf("SKIP: %s\n", qPrintable(unavailable.isEmpty() ? Volume::unavailableReason() : unavailable));
        return SkipExitCode;
    }
    PowerLossTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_powerloss.moc"
