#ifndef PTYDEVICE_H
#define PTYDEVICE_H

#include "devicesimulator.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

// Runs a DeviceSimulator behind a pseudo-terminal: the host opens slavePath()
// as if it were the serial port of a real device.
class PtyDevice : public QObject
{
    Q_OBJECT
public:
    explicit PtyDevice(const DeviceSimulator::Settings &settings, QObject *parent = nullptr);
    ~PtyDevice() override;

    // Creates the pseudo-terminal with the slave already raw, so nothing is
    // echoed or translated before the host gets to configure it.
    bool open();
    QString errorString() const { return m_error; }
    QString slavePath() const { return m_slavePath; }
    bool isOpen() const { return m_masterFd >= 0; }

    void setPollInterval(int milliseconds) { m_pollTimer.setInterval(milliseconds); }

    // Announces the first device and starts the poll clock. Have the host
    // open the port first if it might discard input on opening.
    void start();

    // Closes the line; the host sees a hang-up, like a pulled cable.
    void hangUp();

    const DeviceSimulator &simulator() const { return m_simulator; }

    // Per received frame: nanoseconds from the moment the request (ACK or
    // NAK) was fully written to the moment the frame's last byte was read.
    const QList<qint64> &turnaroundsNs() const { return m_turnaroundsNs; }

signals:
    void deviceFinished(int index);
    void allDone();
    void unplugged();

private:
    void readMaster();
    void writePending();
    void apply(const DeviceSimulator::Output &output);
    void recordTurnaround(qint64 receivedAt);
    void closeLine();

    DeviceSimulator m_simulator;
    int m_masterFd = -1;
    int m_slaveFd = -1;
    QString m_slavePath;
    QString m_error;
    QSocketNotifier m_readNotifier{QSocketNotifier::Read};
    QSocketNotifier m_writeNotifier{QSocketNotifier::Write};
    QTimer m_pollTimer;
    QByteArray m_pending;

    QElapsedTimer m_clock;
    bool m_requestUnwritten = false;
    qint64 m_requestWrittenAt = -1;
    QList<qint64> m_turnaroundsNs;
};

#endif // PTYDEVICE_H
