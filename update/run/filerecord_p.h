#ifndef ZUV_UPDATE_FILERECORD_P_H
#define ZUV_UPDATE_FILERECORD_P_H

#include "update_p.h"

#include <QFuture>
#include <QString>

QT_BEGIN_NAMESPACE
class QFile;
class QNetworkReply;
QT_END_NAMESPACE

// Everything a run knows of one entry of a manifest. The package's check
// fills in the entry and its place; the job adds the rest while the file is
// fetched. A task on the thread pool works on copies of the records, never
// on the job's own.
struct UpdatePrivate::FileRecord {
    File file;
    // The file's place on the card (File::placeKey()), worked out once.
    QString place;
    // The size its download announced, with the part kept before it; 0
    // until known.
    qint64 announcedSize = 0;
    // Where a kept part is continued, until the answer is checked.
    qint64 resumedFrom = -1;
    // The download and its local file, while it runs.
    QNetworkReply *reply = nullptr;
    QFile *local = nullptr;
    // The hash of the local file, started when it is complete; cancelled
    // (a default QFuture) until then.
    QFuture<bool> check;
};

#endif
