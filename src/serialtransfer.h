#ifndef SERIALTRANSFER_H
#define SERIALTRANSFER_H

#include "transferprotocol.h"

#include <QObject>
#include <QSerialPort>

#include <functional>

class QFile;

// Drives the transfer over one serial port: sets up the line, hands what
// arrives to the protocol and its replies to the system at once, opens the
// firmware afresh for every download, and notices a lost line. It works on a
// port and a firmware file its owner keeps, and tells its owner what happens
// through signals; it knows nothing of widgets, consoles or logs.
class SerialTransfer : public QObject
{
    Q_OBJECT

public:
    // Reads (write = false) or sets the driver's low-latency flag; an empty
    // string on success, else why not. Tests put in their own.
    using LatencyControl = std::function<QString(QSerialPort &port, bool write, bool &on)>;

    SerialTransfer(QSerialPort &port, QFile &firmware, quint32 &firmwareSize, QObject *parent = nullptr);
    ~SerialTransfer() override;

    // Opens portName (a listed name or a path) at 115200 8N1 without flow
    // control, closing the port first, and asks the driver for low latency.
    // Returns an empty string when the line is up, else why not.
    QString open(const QString &portName);
    // Puts the driver's latency back as it was, then closes the port.
    void close();

    // Opens fileName afresh and arms the start for it, so a firmware rebuilt
    // under the same name is the one sent. A press during a transfer is
    // ignored. Returns an empty string when armed or ignored, else the
    // problem; no start stays armed then.
    QString requestDownload(const QString &fileName);

    // Handles every byte the port has ready and hands the replies to the
    // system at once. The owner calls it on the port's readyRead().
    void receive();

    TransferProtocol &protocol() { return transfer; }
    const TransferProtocol &protocol() const { return transfer; }

    // Whether the driver agreed to low latency at the last open, or why not.
    QString latencyRefusal() const { return lowLatencyRefusal; }
    void setLowLatencyWanted(bool wanted) { lowLatencyWanted = wanted; }
    void setLatencyControl(LatencyControl control) { latency = std::move(control); }

signals:
    // The line went away: the port is closed and the protocol back to Idle.
    // stateWhenLost is where the protocol was.
    void lost(const QString &text, TransferProtocol::State stateWhenLost);

private:
    void handleError(QSerialPort::SerialPortError error);
    void requestLowLatency();
    void restoreLatency();

    QSerialPort &port;
    QFile &firmware;
    quint32 &firmwareSize;
    TransferProtocol transfer;
    QString openedName;
    bool lowLatencyWanted = true;
    bool latencyToRestore = false;
    QString lowLatencyRefusal;
    LatencyControl latency;
};

#endif // SERIALTRANSFER_H
