#ifndef FLASHFIRMWARE_H
#define FLASHFIRMWARE_H

#include "flashreport.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// "Cannot send FILE: File too large: ..."; a text that names the file already
// ("Cannot read FILE: ...") stands as it is.
QString cannotSendText(const QString &firmwarePath, const QString &problem);

// The firmware of a kavri-flash run. The file is read once, at the start, and
// every device of the run is sent that image, whatever happens to the file:
// a line flashes one known image. A change on disk is said once. When
// following, a rebuilt file is taken instead, but only once it has stopped
// changing; a file missing or unreadable then leaves the image as it was.
class FlashFirmware : public QObject
{
    Q_OBJECT
public:
    FlashFirmware(const QString &path, bool follow, FlashReporter &reporter, QObject *parent = nullptr);

    // Reads the file and starts watching it. Returns an empty string when
    // the image is ready (and reported), else why not.
    QString load();
    const FirmwareImage &image() const { return current; }
    QString path() const { return filePath; }

private:
    // What tells one state of the file from another without reading it.
    struct Stamp
    {
        bool exists = false;
        qint64 size = 0;
        QDateTime modified;
        QDateTime changed; // a file renamed over the name has another
        bool operator==(const Stamp &other) const;
        bool operator!=(const Stamp &other) const { return !(*this == other); }
    };

    Stamp stamp() const;
    QString read(QByteArray &image) const;
    void check();
    void take(const Stamp &settled);

    QString filePath;
    bool follow;
    FlashReporter &reporter;
    FirmwareImage current;
    Stamp taken;       // the file as it was when current was read (or found unreadable)
    Stamp settling;    // a new state of the file, waiting to stop changing
    QElapsedTimer settlingFor;
    QTimer watch;
};

#endif // FLASHFIRMWARE_H
