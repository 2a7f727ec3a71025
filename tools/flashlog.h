#ifndef FLASHLOG_H
#define FLASHLOG_H

#include "flashreport.h"

#include <QFile>
#include <QString>

// Appends one CSV line per device to a file, opened once for the whole run so
// a log that cannot be written is found before any device is touched.
class FlashLog
{
public:
    // Returns an empty string when the log is ready, else why not.
    QString open(const QString &fileName);
    bool isOpen() const { return m_file.isOpen(); }
    // Returns an empty string when the line was written, else why not.
    // firmwareName is the file's name without its folder.
    QString append(const DeviceRecord &record, const QString &firmwareName);

private:
    QString failure() const;

    QFile m_file;
    QString m_name;
};

#endif // FLASHLOG_H
