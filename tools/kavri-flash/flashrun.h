#ifndef FLASHRUN_H
#define FLASHRUN_H

#include "flashfirmware.h"
#include "flashlog.h"
#include "flashport.h"
#include "portinfo.h"
#include "portwatch.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QTimer>

struct FlashOptions
{
    QString firmwarePath;
    bool follow = false;   // take a rebuilt firmware file during the run
    FlashPortOptions port;
    QStringList portNames; // listed names or paths; empty: the one USB adapter listed
    bool allPorts = false; // every listed port, and those that appear later
    QString match;         // keeps the listed ports whose details contain it
    QString logPath;       // empty: no log
};

// A whole kavri-flash run: one firmware image, served on one port or many at
// once in one event loop. It reads the firmware before any port opens, keeps
// the log, and ends with the exit status of the worst port, after a summary
// that is always the last thing it reports.
class FlashRun : public QObject
{
    Q_OBJECT
public:
    FlashRun(const FlashOptions &options, FlashReporter &reporter, PortSource portSource = systemPorts,
             QObject *parent = nullptr);

    // False (exitCode() says why, the summary is reported) when the run
    // could not begin.
    bool begin();
    // Stops every port where it is, saying where that was.
    void interrupt(const QString &signalName);
    // With --all-ports: reads the port list again, opening what came and
    // closing what went. The system's device events call it; so does a
    // slow poll, in case an event is missed.
    void portsChanged();
    // Opens the --log file by its name again, as after a rotation (SIGHUP).
    void reopenLog();
    int exitCode() const { return code; }

    // Whether port's name or details hold text, as --match reads them.
    static bool matches(const PortInfo &port, const QString &text);

signals:
    void finished(int exitCode);

private:
    bool fail(int exitCode, const QString &problem);
    QString samePortTwice() const;
    bool chooseAdapter();
    bool openChosenPorts();
    PortLabel labelFor(const QString &name, const QList<PortInfo> &listed) const;
    FlashPort *portNamed(const QString &name) const;
    void addPort(const PortLabel &label);
    void logDevice(const DeviceRecord &record);
    void recordLost(const QString &problem);
    void stopAll(int exitCode);
    void stopAfterTransfers(int exitCode);
    void watchForNoPort();
    void noPortTimedOut();
    void portFinished();
    void end();
    QList<PortSummary> summaryRows() const;
    void reportMemory(const QString &when);

    FlashOptions options;
    FlashReporter &reporter;
    PortSource portSource;
    FlashFirmware firmware;
    FlashLog log;
    QList<FlashPort *> ports;
    QSet<QString> unlisted; // ports whose open failed that have since left the list
    QTimer portPoll;
    PortWatch portWatch;
    QTimer noPortTimer;
    bool waitingSaid = false;
    int devicesEnded = 0;
    bool stopping = false;
    bool windingDown = false;
    int code = ExitOk;
};

#endif // FLASHRUN_H
