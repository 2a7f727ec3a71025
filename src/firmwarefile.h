#ifndef FIRMWAREFILE_H
#define FIRMWAREFILE_H

#include <QString>

class QFile;

// Opens fileName read-only into file for a download, closing whatever file
// held before, and records its size. Returns an empty string when it is ready
// to send, else the text that tells the user why not; file is then closed.
QString openFirmware(QFile &file, const QString &fileName, quint32 &size);

#endif // FIRMWAREFILE_H
