#ifndef FLASHLOG_H
#define FLASHLOG_H

#include "flashreport.h"

#include <QString>

// Appends one CSV row per device to a file, opened at the start so a log
// that cannot be written is found before any device is touched. Each row is
// written whole or not at all, so the file stays well-formed whatever happens
// to the disk. Rotation is followed: a log moved away or removed is opened
// again by its name, and one cut to nothing (copytruncate) gets its header
// again.
class FlashLog
{
public:
    FlashLog() = default;
    FlashLog(const FlashLog &) = delete;
    FlashLog &operator=(const FlashLog &) = delete;
    ~FlashLog();

    // Returns an empty string when the log is ready, else why not.
    QString open(const QString &fileName);
    bool isOpen() const { return fd >= 0; }
    // Returns an empty string when the row was written, else why not, naming
    // the device whose row is lost. firmwareName is the file's name without
    // its folder.
    QString append(const DeviceRecord &record, const QString &firmwareName);
    // Opens the file by its name again (after a rotation, on SIGHUP);
    // returns an empty string when the log is ready, else why not.
    QString reopen();

private:
    QString problem(const QString &reason) const;
    QString checkHeader();
    QString headerIfEmpty();
    bool stillNamed() const;
    bool writeWhole(const QByteArray &row);

    int fd = -1;
    QString name;
    bool regularFile = false;
    quint64 device = 0; // which file the name gave at the start
    quint64 inode = 0;
};

#endif // FLASHLOG_H
