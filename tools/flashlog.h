#ifndef FLASHLOG_H
#define FLASHLOG_H

#include <QFile>
#include <QString>

// One finished device, as recorded in the CSV log.
struct FlashRecord
{
    QString port;
    QString uid;     // 16 hex digits
    QString version; // "2.3"
    QString fileName;
    QString sentSha256; // of the firmware bytes that went out
    quint64 bytes = 0;
    int blocks = 0;
    int naks = 0;
    double seconds = 0;
    QString result;
};

// Appends one CSV line per device to a file, opened once for the whole run so
// a log that cannot be written is found before any device is touched.
class FlashLog
{
public:
    // Returns an empty string when the log is ready, else why not.
    QString open(const QString &fileName);
    bool isOpen() const { return m_file.isOpen(); }
    // Returns an empty string when the line was written, else why not.
    QString append(const FlashRecord &record);

private:
    QString failure() const;

    QFile m_file;
    QString m_name;
};

#endif // FLASHLOG_H
