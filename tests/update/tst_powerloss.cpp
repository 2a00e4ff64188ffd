#include "update/devicewriter.h"
#include "update/writerjournal_p.h"

#include "powerlosscard.h"
#include "volume.h"

#include <QDir>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

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

void clearDirectory(const QString &root)
{
    const QFileInfoList entries = QDir(root).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                           | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.filePath()).removeRecursively();
        else
            QFile::remove(entry.filePath());
    }
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

// What the repairs of the cut states reached.
struct Tally {
    enum Outcome { Old, New, RepairedToOld, RepairedToNew, Other };
    int counts[Other + 1] = {};
    QStringList failures; // the first few

    QString summary() const
    {
        return QStringLiteral("old %1, new %2, repaired to old %3, repaired to new %4, other %5")
            .arg(counts[Old]).arg(counts[New]).arg(counts[RepairedToOld]).arg(counts[RepairedToNew]).arg(counts[Other]);
    }
};

// Rebuilds every card that a cut of the recording may leave, repairs it on
// the scratch volume and tallies what the repair reached.
void repairEveryCut(const PowerLossCard &card, const Card &old, const Card &expectedNew, const QString &scratch,
                    const QString &context, Tally *tally)
{
    for (int k = 0; k <= card.operationCount(); ++k) {
        const QList<Card> states = card.cardsAfterCut(k);
        for (const Card &state : states) {
            clearDirectory(scratch);
            QVERIFY(PowerLossCard::writeCard(scratch, state));
            QString error;
            const bool repaired = DeviceWriter::repair(scratch, RemovedAfterCommit, &error);
            const Card after = PowerLossCard::readCard(scratch);
            Tally::Outcome outcome = Tally::Other;
            if (state == old || state == expectedNew)
                outcome = state == old ? Tally::Old : Tally::New;
            else if (repaired && (after == old || after == expectedNew))
                outcome = after == old ? Tally::RepairedToOld : Tally::RepairedToNew;
            ++tally->counts[outcome];
            if (outcome == Tally::Other && tally->failures.size() < 5) {
                tally->failures << QStringLiteral("%1cut after %2 (%3): repair %4; against old: %5; against new: %6")
                                       .arg(context)
                                       .arg(k)
                                       .arg(k > 0 ? card.operationText(k - 1) : QStringLiteral("nothing"),
                                            repaired ? QStringLiteral("done") : error, difference(after, old),
                                            difference(after, expectedNew));
            }
        }
    }
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

    const Card used{{"FW.ZUV", "VER_BOOT=1\nVER_PRI=1\nVER_SEC=1\n"}, {"ZUV.FW", "install"},
                    {"PRI.BIN", filler('p', 3000)}, {"BOOT.BIN", "bootloader, untouched"},
                    {"SEC.BIN", "old secondary"}, {"ANIM/A1.BIN", "old a1"}, {"ANIM/A2.BIN", "untouched a2"},
                    {"IMAGES/I1.BIN", "old i1"}, {"SOUNDS/S1.WAV", "old s1"}};
    // Changed and new files, in old and new directories; one spans several writes.
    const Card release{{"PRI.BIN", filler('P', 300 * 1024)}, {"SEC.BIN", "new secondary"},
                       {"ANIM/A1.BIN", "new a1, longer than before"}, {"ANIM/A3.BIN", "new a3"},
                       {"IMAGES/I1.BIN", ""}, {"IMAGES/NEW/I9.BIN", "new i9"},
                       {"SOUNDS/S1.WAV", "new s1"}, {"SOUNDS/S2.WAV", "new s2"}};
    QTest::newRow("firmware update of a used card") << withDirectories(used) << release;

    const Card blank{{"FW.ZUV", "VER_BOOT=1\n"}, {"ZUV.FW", "install"}};
    const Card fresh{{"PRI.BIN", "primary"}, {"ANIM/A1.BIN", "a1"}, {"ANIM/DEEP/A2.BIN", "a2"}};
    QTest::newRow("first release on a blank card") << withDirectories(blank) << fresh;
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
// not flushed, the repair of the next run leaves exactly the old card or
// exactly the updated one; and once write() has succeeded nothing it wrote
// may still be lost.
void PowerLossTest::cutAtEveryOperation()
{
    QFETCH(Card, old);
    QFETCH(Card, release);
    PowerLossCard card;
    recordWrite(&card, old, release);
    if (QTest::currentTestFailed())
        return;

    Tally tally;
    repairEveryCut(card, old, updated(old, release), m_scratch->rootPath(), QString(), &tally);
    // Printed whatever the result, so a change of the writer can be compared.
    const int operations = card.operationCount();
    std::printf("%d operations, %d not flushed at success; cut states: %s\n", operations,
                card.pendingAfter(operations), qPrintable(tally.summary()));
    std::fflush(stdout);
    QVERIFY2(tally.failures.isEmpty(), qPrintable(tally.failures.join(QLatin1Char('\n'))));
    QCOMPARE(card.pendingAfter(operations), 0);
}

// The power may go again while the next run repairs the card. The repair of
// each card a cut of the write leaves (as the program saw it, and with only
// what was flushed) is itself cut at every operation and repaired once more.
void PowerLossTest::cutDuringRepair()
{
    QFETCH(Card, old);
    QFETCH(Card, release);
    const Card expectedNew = updated(old, release);
    PowerLossCard write;
    recordWrite(&write, old, release);
    if (QTest::currentTestFailed())
        return;

    Tally tally;
    int repairs = 0;
    for (int k = 0; k <= write.operationCount(); ++k) {
        const Card flushed = write.cardsAfterCut(k).first();
        const Card written = write.cardAsWritten(k);
        for (const Card &state : {flushed, written}) {
            if (!state.contains(WriterJournal::fileName()) || (&state == &written && written == flushed))
                continue;
            PowerLossCard repair;
            QVERIFY(repair.mount(state));
            QVERIFY(DeviceWriter::repair(repair.rootPath(), RemovedAfterCommit));
            QVERIFY(repair.unmount());
            ++repairs;
            repairEveryCut(repair, old, expectedNew, m_scratch->rootPath(),
                           QStringLiteral("repair of the write cut after %1, ").arg(k), &tally);
        }
    }
    std::printf("%d repairs cut; cut states: %s\n", repairs, qPrintable(tally.summary()));
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
