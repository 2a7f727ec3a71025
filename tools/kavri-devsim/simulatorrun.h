#ifndef SIMULATORRUN_H
#define SIMULATORRUN_H

#include "devicesimulator.h"
#include "simulateddevice.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <memory>
#include <vector>

// kavri-devsim's run: one or more lines, each with a simulated device of its
// own, reported on stdout as their devices finish and summed up at the end.
// It ends the application with the first failure's exit status, or 0.
class SimulatorRun : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        int lineCount = 1;      // independent pseudo-terminals
        QString portPath;       // a real port instead (one line)
        QString linkPath;       // see SimulatedDevice::setLinkPath()
        QString outPattern;     // %p: line number, %n: device number
        int baud = 0;
        int idleTimeoutMs = 0;
        int replugAfterMs = -1; // -1: an unplugged device stays away
    };

    SimulatorRun(const DeviceSimulator::Settings &settings, const Options &options);
    ~SimulatorRun() override;

    // Where line's image of device goes: the --out pattern filled in.
    static QString outputPath(const QString &pattern, int line, int device);

    // Opens every line and prints each pseudo-terminal's path, one a line,
    // before anything else. False (the reason printed) when one failed.
    bool open();
    // Prints who stopped it and the summary, and ends with exit status 130.
    void stop(const QString &signalName);

private:
    bool openLine(SimulatedDevice &line);
    void connectLine(int line);
    QString deviceName(int line, int device) const;
    void reportDevice(int line, int device);
    void saveImage(const QString &path, const QByteArray &image);
    void reportSilence(int line);
    void replugLater(int line);
    void lineDone();
    void printLineRows() const;
    void printSummary() const;
    void exitOnceHostsLetGo();
    bool hostsGone() const;
    void fail(int exitCode);

    Options options;
    std::vector<std::unique_ptr<SimulatedDevice>> lines;
    int linesDone = 0;
    int code = 0;
    // Wall time, from the first host's opening to the last device's end:
    // the lines' own transfer times overlap.
    QElapsedTimer sinceFirstHost;
    qint64 lastDeviceEndNs = 0;
};

#endif // SIMULATORRUN_H
