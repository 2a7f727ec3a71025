#ifndef SIMULATEDDEVICE_H
#define SIMULATEDDEVICE_H

#include "deviceline.h"
#include "devicesimulator.h"
#include "linetiming.h"
#include "precisewakeup.h"
#include "turnaroundstats.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

// A simulated device: runs a DeviceSimulator behind a DeviceLine, either a
// pseudo-terminal whose slavePath() the host opens as if it were the serial
// port of a real device, or a real port the host sits on the other end of. It drives the simulator's clock, paces the line, ends a session
// the host abandoned, and keeps the host's turnaround figures.
class SimulatedDevice : public QObject
{
    Q_OBJECT
public:
    explicit SimulatedDevice(const DeviceSimulator::Settings &settings, QObject *parent = nullptr);
    ~SimulatedDevice() override;

    // Creates the pseudo-terminal (see DeviceLine::openPty()).
    bool open();
    // Uses the serial port at path in place of a pseudo-terminal.
    bool openPort(const QString &path);
    // open(), then start() as soon as another process opens the slave (so a
    // host started later still sees the announcement, and only once), then
    // points the link (if set) at the new slave: a host that finds the line by
    // the link finds it only once its opening is watched for. Called again
    // after an unplug, it is the device plugged back in under the same name
    // with a new terminal behind it.
    bool openForHost();
    // A symbolic link kept pointing at the current slave, as udev keeps
    // /dev/serial/by-id/... pointing at a USB adapter: removed when the line
    // closes, made again by openForHost(). Set it before openForHost().
    void setLinkPath(const QString &path) { line.setLinkPath(path); }
    QString errorString() const { return line.errorString(); }
    QString slavePath() const { return line.slavePath(); }
    bool isOpen() const { return line.isOpen(); }

    void setPollInterval(int milliseconds) { pollTimer.setInterval(milliseconds); }

    // Paces the line as a real one at baud would be (0: as fast as the link
    // goes): bytes for the host are released only once they would have
    // arrived, and bytes from the host count as arrived only after their line
    // time. Set it before start().
    void setBaudRate(int baud);

    // Once a device has announced itself, a host silent for this long is
    // taken for gone: the device gives up (hostSilent(), then its session
    // ends as abandoned and the run with it). 0, the default, waits forever.
    void setIdleTimeout(int milliseconds);

    // Announces the first device and starts the poll clock. Have the host
    // open the port first if it might discard input on opening.
    void start();
    bool isHostConnected() const { return line.isHostConnected(); }

    // Closes the line; the host sees a hang-up, like a pulled cable.
    void hangUp();

    const DeviceSimulator &simulator() const { return deviceSimulator; }
    const TurnaroundStats &statistics() const { return turnaroundStats; }

signals:
    void deviceFinished(int index);
    void allDone();
    void unplugged();
    void hostSilent();
    void hostOpened();
    void hostClosed();

private:
    // Output held back until the line would have carried it. The device it
    // came from is kept with it: the next one may have announced itself
    // inside the simulator by the time it is released.
    struct Release
    {
        qint64 dueNs;
        DeviceSimulator::Output output;
        int deviceIndex;
    };

    void startClock();
    void receive(const QByteArray &bytes);
    void lineWentQuiet();
    void requestWritten();
    void schedule(const DeviceSimulator::Output &output, qint64 readyAt);
    void scheduleAnnouncement(const QByteArray &announcement, qint64 readyAt);
    void queue(const Release &release);
    void releaseDue();
    void apply(const DeviceSimulator::Output &output, int deviceIndex);
    void watchSilence();
    void giveUp();
    void closeLine();

    DeviceSimulator deviceSimulator;
    DeviceLine line;
    QTimer pollTimer;
    QTimer silenceTimer;

    QElapsedTimer clock;
    LineTiming toHost;
    LineTiming fromHost;
    PreciseWakeUp releaseWakeUp{clock};
    QList<Release> scheduled;
    qint64 toHostIdleNs = 0; // when the last byte for the host has arrived
    qint64 hostOpenedNs = 0;
    qint64 lastFromHostNs = 0; // when the host's last byte arrived
    // On a paced line the bytes from the host are judged once the line has
    // gone quiet behind them: when they have arrived and no more follow.
    PreciseWakeUp quietWakeUp{clock};
    qint64 quietAtNs = -1;

    bool requestUnwritten = false;
    TurnaroundStats turnaroundStats;
};

#endif // PTYDEVICE_H
