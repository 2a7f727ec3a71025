#ifndef SERIALTRANSFER_H
#define SERIALTRANSFER_H

#include "devicefigures.h"
#include "transferprotocol.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <QTimer>

#include <functional>

// The one driver of a transfer over a serial port, for the dialog and the
// tools alike: it sets up the line, hands what arrives to the protocol and
// its replies to the system at once, takes the image when the device
// starts, keeps the device's identity and figures, and notices a lost line.
// It works on a port its owner keeps and tells its owner what happens
// through signals; it knows nothing of widgets, consoles or logs.
class SerialTransfer : public QObject
{
    Q_OBJECT

public:
    // Reads (write = false) or sets the driver's low-latency flag; an empty
    // string on success, else why not. Tests put in their own.
    using LatencyControl = std::function<QString(QSerialPort &port, bool write, bool &on)>;
    // Gives the image when the device starts and returns Ok, or returns the
    // result that ends the download instead.
    using ImageSource = std::function<TransferResult(QByteArray &image)>;

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

    // Arms the start: source is asked for the image when the device starts,
    // and the device is sent exactly the bytes it gave.
    void requestDownload(ImageSource source);
    // A download request failed after all: no start stays armed for it.
    void withdrawDownload();
    // Gives up the device on the line, which has gone silent: the line stays
    // open for the next one, and the silence is counted afresh from now.
    void forgetDevice();
    // Gives a download up after a frame is refused nakLimit times in a row.
    void setNakLimitOn(bool on) { protocol.setNakLimitOn(on); }
    // Emits silent() once the line has brought no byte for milliseconds
    // (0: never), counted from its opening or its last byte, and on after
    // the line is lost, until it is closed or opened again.
    void setSilenceLimit(int milliseconds) { protocol.setSilenceLimit(qint64(milliseconds) * 1000); }

    // Handles every byte the port has ready, and what the time alone
    // decides, and hands the replies to the system at once; runs on the
    // port's readyRead() and when the protocol asked to be woken.
    void receive();

    TransferProtocol::State state() const { return protocol.state(); }
    DeviceFigures figures() const;

    // Whether the driver agreed to low latency at the last open, or why not.
    QString latencyRefusal() const { return lowLatencyRefusal; }
    void setLowLatencyWanted(bool wanted) { lowLatencyWanted = wanted; }
    void setLatencyControl(LatencyControl control) { latency = std::move(control); }

signals:
    // A device announced itself with this 16-byte record.
    void identified(const QByteArray &identity);
    void transferStarted();
    // Emitted once the frame that moved it is on its way.
    void progressChanged(int percent);
    // Emitted once the last reply has left the host.
    void downloadEnded(TransferResult result);
    // The line has been silent for the silence limit.
    void silent();
    // The line went away: the port is closed and the protocol Idle.
    // stateWhenLost is where the protocol was.
    void lost(const QString &text, TransferProtocol::State stateWhenLost);

private:
    void handle(QByteArrayView bytes, qint64 now);
    void newDevice();
    void startTransfer();
    void endDownload(TransferResult result);
    void scheduleWake();
    qint64 nowUs() const { return clock.nsecsElapsed() / 1000; }
    void handleError(QSerialPort::SerialPortError error);
    void requestLowLatency();
    void restoreLatency();

    QSerialPort &port;
    TransferProtocol protocol;
    QString openedName;
    QElapsedTimer clock;
    QTimer wake;

    ImageSource imageSource;   // armed: asked when the device starts
    QByteArray image;          // the one sent
    QByteArray identity;
    bool started = false;      // the current device's transfer has begun
    bool progressMoved = false;
    QElapsedTimer transferClock;

    bool lowLatencyWanted = true;
    bool latencyToRestore = false;
    QString lowLatencyRefusal;
    LatencyControl latency;
};

#endif // SERIALTRANSFER_H
