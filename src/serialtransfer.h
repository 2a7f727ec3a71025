#ifndef SERIALTRANSFER_H
#define SERIALTRANSFER_H

#include "transferprotocol.h"

#include <QFile>
#include <QObject>
#include <QSerialPort>

#include <functional>

// Drives the transfer over one serial port: sets up the line, hands what
// arrives to the protocol and its replies to the system at once, opens the
// firmware afresh for every download (or sends an image held in memory), and
// notices a lost line. It works on a port its owner keeps, and tells its
// owner what happens through signals; it knows nothing of widgets, consoles
// or logs.
class SerialTransfer : public QObject
{
    Q_OBJECT

public:
    // Reads (write = false) or sets the driver's low-latency flag; an empty
    // string on success, else why not. Tests put in their own.
    using LatencyControl = std::function<QString(QSerialPort &port, bool write, bool &on)>;

    explicit SerialTransfer(QSerialPort &port, QObject *parent = nullptr);
    ~SerialTransfer() override;

    // Opens portName (a listed name or a path) at 115200 8N1 without flow
    // control, closing the port first, and asks the driver for low latency.
    // Returns an empty string when the line is up, else why not.
    QString open(const QString &portName);
    // Puts the driver's latency back as it was, then closes the port.
    void close();
    // The line is gone though the port has not said so (the system no longer
    // lists it): closes the port and emits lost(), as a vanished line does.
    void dropLine();

    // Opens fileName afresh and arms the start for it, so a firmware rebuilt
    // under the same name is the one sent. A press during a transfer is
    // ignored. Returns an empty string when armed or ignored, else the
    // problem; no start stays armed then.
    QString requestDownload(const QString &fileName);
    // Arms the start for an image already in memory, sent exactly as it is.
    void requestDownload(const QByteArray &image) { transfer.requestDownload(image); }

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
    QFile firmware;
    quint32 firmwareSize = 0;
    TransferProtocol transfer;
    QString openedName;
    bool lowLatencyWanted = true;
    bool latencyToRestore = false;
    QString lowLatencyRefusal;
    LatencyControl latency;
};

#endif // SERIALTRANSFER_H
