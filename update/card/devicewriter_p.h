#ifndef ZUV_UPDATE_DEVICEWRITER_P_H
#define ZUV_UPDATE_DEVICEWRITER_P_H

#include "devicewriter.h"
#include "writerjournal_p.h"

#include <QByteArray>
#include <QStringList>

class DeviceWriterPrivate
{
public:
    // For tests that kill the program part way through a write: called on
    // the writing thread after every step that changed the volume, with the
    // steps of one write() counted from 1.
    using StepHook = void (*)(int step, const char *what);
    static void setStepHook(StepHook hook);

    explicit DeviceWriterPrivate(const QString &root);

    bool fail(DeviceWriter::Failure kind, const QString &error);
    bool failAndUndo(DeviceWriter::Failure kind, const QString &error);
    void step(const char *what);
    bool stopRequested() const;
    bool volumeGone();

    bool staysOnCard();
    bool plan();
    bool describe(WriterJournal::File *file);
    bool checkRoom();
    bool writeJournal();
    bool createDirectories();
    bool stageFiles();
    bool stageFile(const WriterJournal::File &file);
    bool commitFiles();
    bool commitJournal();
    bool setAside(const WriterJournal::File &file);
    bool moveIntoPlace(const WriterJournal::File &file);
    bool syncEverything();
    void completeCommitted();

    QString root;
    QByteArray volume; // the card the write began on
    WriterJournal journal;
    QStringList removedAfterCommit;
    const QAtomicInt *stopFlag = nullptr;
    int steps = 0;
    DeviceWriter::Failure failure = DeviceWriter::NoFailure;
    QString errorString;
    QList<DeviceWriter::Undo> undoSteps;
};

#endif
