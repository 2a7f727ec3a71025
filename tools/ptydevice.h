#ifndef PTYDEVICE_H
#define PTYDEVICE_H

#include "devicesimulator.h"
#include "linepacing.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

// Runs a DeviceSimulator behind a pseudo-terminal: the host opens slavePath()
// as if it were the serial port of a real device. It can also sit on a real
// serial port instead, for a host on the other end of a cable.
class PtyDevice : public QObject
{
    Q_OBJECT
public:
    explicit PtyDevice(const DeviceSimulator::Settings &settings, QObject *parent = nullptr);
    ~PtyDevice() override;

    // Creates the pseudo-terminal with the slave already raw, so nothing is
    // echoed or translated before the host gets to configure it.
    bool open();
    // Uses the serial port at path, raw at 115200 baud, in place of a
    // pseudo-terminal; slavePath() stays empty.
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
    void setLinkPath(const QString &path) { m_linkPath = path; }
    QString errorString() const { return m_error; }
    QString slavePath() const { return m_slavePath; }
    bool isOpen() const { return m_lineFd >= 0; }

    void setPollInterval(int milliseconds) { m_pollTimer.setInterval(milliseconds); }

    // Paces the line as a real one at baud would be (0: as fast as the link
    // goes): bytes for the host are released only once they would have
    // arrived, and bytes from the host count as arrived only after their line
    // time. Set it before start().
    void setBaudRate(int baud);

    // Announces the first device and starts the poll clock. Have the host
    // open the port first if it might discard input on opening.
    void start();
    bool isHostConnected() const { return m_hostOpenCount > 0; }

    // Closes the line; the host sees a hang-up, like a pulled cable.
    void hangUp();

    const DeviceSimulator &simulator() const { return m_simulator; }

    // Per received frame: nanoseconds from the moment the request (ACK or
    // NAK) was fully written to the moment the frame's last byte was read;
    // on a paced line, less the frame's own line time.
    const QList<qint64> &turnaroundsNs() const { return m_turnaroundsNs; }
    // Per finished device: nanoseconds from its first request written to the
    // end of its session (the arrival of EOT, the cancel or the unplug).
    const QList<qint64> &transferTimesNs() const { return m_transferTimesNs; }

signals:
    void deviceFinished(int index);
    void allDone();
    void unplugged();
    void hostOpened();
    void hostClosed();

private:
    struct Release
    {
        qint64 dueNs;
        DeviceSimulator::Output output;
    };

    void attachLine(int fd);
    // Calls start() as soon as another process opens the slave, so a host
    // started later still sees the announcement, and sees it only once.
    bool startWhenHostOpens();
    // Reports the host opening and closing the slave (pseudo-terminal only).
    bool watchHost();
    void readFromHost();
    void writePending();
    void schedule(const DeviceSimulator::Output &output, qint64 readyAt);
    void releaseDue();
    void apply(const DeviceSimulator::Output &output);
    void recordTurnaround(qint64 frameArrivedAt);
    void recordTransferEnd();
    void readHostEvents();
    void stopWatchingHost();
    bool pointLink();
    void removeLink();
    void closeLine();

    DeviceSimulator m_simulator;
    int m_lineFd = -1;  // the device's end: the pty master or the real port
    int m_slaveFd = -1;
    int m_hostWatchFd = -1;
    int m_hostOpenCount = 0;
    QString m_slavePath;
    QString m_linkPath;
    bool m_linkMade = false;
    QString m_error;
    QSocketNotifier m_readNotifier{QSocketNotifier::Read};
    QSocketNotifier m_writeNotifier{QSocketNotifier::Write};
    QSocketNotifier m_hostWatchNotifier{QSocketNotifier::Read};
    QTimer m_pollTimer;
    QByteArray m_pending;

    QElapsedTimer m_clock;
    LineTiming m_toHost;
    LineTiming m_fromHost;
    PreciseWakeUp m_releaseWakeUp{m_clock};
    QList<Release> m_scheduled;

    bool m_requestUnwritten = false;
    qint64 m_requestWrittenAt = -1;
    qint64 m_transferStartedAt = -1;
    QList<qint64> m_turnaroundsNs;
    QList<qint64> m_transferTimesNs;
};

#endif // PTYDEVICE_H
