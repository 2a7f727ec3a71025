#ifndef FLASHRUN_H
#define FLASHRUN_H

#include "flashlog.h"
#include "flashport.h"
#include "portinfo.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QTimer>

struct FlashOptions
{
    FlashPortOptions port;
    QStringList portNames; // listed names or paths; empty: the first listed port
    bool allPorts = false; // every listed port, and those that appear later
    QString match;         // keeps the listed ports whose details contain it
    QString logPath;       // empty: no log
};

// A whole kavri-flash run: one firmware file, served on one port or many at
// once in one event loop. It checks the firmware before any port opens,
// keeps the log, and ends with the exit status of the worst port.
class FlashRun : public QObject
{
    Q_OBJECT
public:
    FlashRun(const FlashOptions &options, FlashReporter &reporter, PortSource portSource = systemPorts,
             QObject *parent = nullptr);

    // False (exitCode() says why) when the run could not begin.
    bool begin();
    // Stops every port where it is, saying where that was.
    void interrupt(const QString &signalName);
    int exitCode() const { return code; }

    // Whether port's name or details hold text, as --match reads them.
    static bool matches(const PortInfo &port, const QString &text);

signals:
    void finished(int exitCode);

private:
    QString checkFirmware() const;
    bool openChosenPorts();
    void lookForPorts();
    bool addPort(const QString &name);
    void logDevice(const DeviceRecord &record);
    void stopAll(int exitCode);
    void portFinished();
    void end();
    void reportMemory(const QString &when);

    FlashOptions options;
    FlashReporter &reporter;
    PortSource portSource;
    FlashLog log;
    QList<FlashPort *> ports;
    QSet<QString> gone; // failed ports since missing from the list
    QTimer portWatch;
    int devicesEnded = 0;
    bool stopping = false;
    bool logFailed = false;
    int code = ExitOk;
};

#endif // FLASHRUN_H
