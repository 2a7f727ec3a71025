#ifndef FLASHREPORT_H
#define FLASHREPORT_H

#include <QByteArray>
#include <QList>
#include <QString>

// What one device's session came to, as reported and logged.
struct DeviceRecord
{
    enum class Result { Ok, Canceled, PortLost, ReadError, FirmwareChanged, TimedOut, Interrupted };

    QString port;         // as the user named it, or as listed
    QByteArray identity;  // the 16-byte identity record
    Result result = Result::Ok;
    QString sha256;       // of the firmware bytes that went out
    quint64 bytes = 0;    // firmware bytes sent, without the padding of the last block
    int blocks = 0;
    int naks = 0;
    double seconds = 0;

    QString resultText() const;  // "Download OK", "Port lost", ...
    QString resultWord() const;  // "ok", "port-lost", ...
};

// One port's figures for the run's closing summary.
struct PortSummary
{
    QString port;
    int ok = 0;
    int canceled = 0;
    int lost = 0;
    quint64 bytes = 0;
    double seconds = 0;
};

// Where kavri-flash tells what happens: readable lines (FlashConsole) or JSON
// Lines for production software (FlashJson). port is empty for what concerns
// the whole run.
class FlashReporter
{
public:
    virtual ~FlashReporter() = default;

    virtual void opened(const QString &port) = 0;
    virtual void identified(const QString &port, const QByteArray &identity) = 0;
    // sent of total bytes after seconds; total > 0.
    virtual void progress(const QString &port, quint64 sent, quint64 total, double seconds) = 0;
    virtual void deviceEnded(const DeviceRecord &record) = 0;
    virtual void lost(const QString &port) = 0;
    virtual void summary(const QList<PortSummary> &ports, int exitCode) = 0;

    // Problems go to stderr in every mode.
    virtual void problem(const QString &port, const QString &text) = 0;
    // Running commentary for people: unless quiet, and only when verbose.
    virtual void info(const QString &port, const QString &text) = 0;
    virtual void detail(const QString &port, const QString &text) = 0;
};

#endif // FLASHREPORT_H
