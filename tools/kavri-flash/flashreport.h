#ifndef FLASHREPORT_H
#define FLASHREPORT_H

#include "devicefigures.h"
#include "firmwareimage.h"
#include "flashoutput.h"
#include "portinfo.h"
#include "transferresult.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>

// A port as the records name it: as the user named it or as listed, and the
// adapter's serial number and USB VID:PID ("0403:6001") where the system knows them.
struct PortLabel
{
    QString name;
    QString serialNumber;
    QString usbId;

    static PortLabel of(const PortInfo &info);
};

// What one device's session came to, as reported and logged.
struct DeviceRecord : DeviceFigures
{
    PortLabel port;
    TransferResult result = TransferResult::Ok;
    QString imageSha256; // hex
};

// One port's figures for the run's closing summary, summed over its comings
// and goings.
struct PortSummary
{
    PortLabel port;
    std::array<int, resultCount> results{}; // devices, by result
    quint64 ackedBytes = 0;
    double seconds = 0;
    QString ended; // what ended the port: "served 2", "timed out", "not opened: <reason>", ...
};

// The moment of an event, as records give it: local time with its offset
// from UTC, to the millisecond.
QString eventTime();

// Where kavri-flash tells what happens: readable lines (FlashConsole) or JSON
// Lines for production software (FlashJson). port is empty for what concerns
// the whole run.
class FlashReporter
{
public:
    FlashReporter(std::FILE *out, std::FILE *err) : out(out), err(err) {}
    virtual ~FlashReporter() = default;

    // The image the run sends, once at the start and again for each rebuilt
    // file taken on the way.
    virtual void firmware(const QString &path, const FirmwareImage &image) = 0;
    virtual void opened(const QString &port) = 0;
    virtual void identified(const QString &port, const QByteArray &identity) = 0;
    // sent of total bytes after seconds; total > 0.
    virtual void progress(const QString &port, quint64 sent, quint64 total, double seconds) = 0;
    virtual void deviceEnded(const DeviceRecord &record) = 0;
    virtual void lost(const QString &port) = 0;
    // Always the last thing a run reports.
    virtual void summary(const QList<PortSummary> &ports, int exitCode) = 0;
    // The answer to --list.
    virtual void listed(const QList<PortInfo> &ports) = 0;

    // Problems go to stderr in every mode.
    virtual void problem(const QString &port, const QString &text) = 0;
    // Running commentary for people: unless quiet, and only when verbose.
    virtual void info(const QString &port, const QString &text) = 0;
    virtual void detail(const QString &port, const QString &text) = 0;

    // Called once, with what happened ("Standard output closed (Broken
    // pipe)"), when out can no longer be written: its reader went away, or
    // fell so far behind that its text could not wait; nothing more is
    // written there. With the output in the background, it is called on
    // the writing thread.
    std::function<void(const QString &problem)> outputFailed;

    // From now on, text is written by a thread of its own: a reader that
    // stops reading holds up nobody, until limitBytes wait for it.
    void writeInBackground(qsizetype limitBytes = FlashOutput::defaultLimitBytes);
    // Waits until the text handed to the background is written.
    void finishOutput() { background.reset(); }

protected:
    // "PORT: text", unless port is empty or the text names it already.
    static QString withPort(const QString &port, const QString &text);
    // A problem as stderr gives it, after the program's name.
    static QString problemLine(const QString &text);

    // Writes text to stream (out or err) at once, or hands it to the
    // background, so a reader on a pipe sees it as it happens. A failed
    // write to out calls outputFailed once.
    void write(std::FILE *stream, const QByteArray &text);

    std::FILE *out; // results
    std::FILE *err; // problems

private:
    void outputLost(const QString &problem);

    std::atomic<bool> outputBroken = false;
    std::unique_ptr<FlashOutput> background;
};

#endif // FLASHREPORT_H
