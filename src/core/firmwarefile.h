#ifndef FIRMWAREFILE_H
#define FIRMWAREFILE_H

#include "transferresult.h"

#include <QByteArray>
#include <QFile>
#include <QString>

// A firmware file opened for a download and read whole when it is sent, for
// the dialog and kavri-flash alike. Held in memory, the image cannot change
// under a transfer: a file rewritten, truncated or appended to meanwhile
// would otherwise reach the device as a mix of two images.
class FirmwareFile
{
public:
    // Opens fileName read-only, closing whatever file was open before, and
    // records its size. Returns an empty string when it is ready to send,
    // else the text that tells the user why not; the file is then closed.
    QString open(const QString &fileName);
    // Reads the opened file whole into image. A file that cannot be read
    // gives FirmwareUnreadable; one whose size is no longer the one found at
    // open() gives FirmwareChanged, and image is then left empty.
    TransferResult read(QByteArray &image);

private:
    QFile file;
    quint32 size = 0;
};

#endif // FIRMWAREFILE_H
