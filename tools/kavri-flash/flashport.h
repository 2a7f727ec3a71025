#ifndef FLASHPORT_H
#define FLASHPORT_H

#include "exitstatus.h"
#include "flashreport.h"
#include "serialtransfer.h"

#include <QObject>
#include <QSerialPort>
#include <QTimer>

#include <memory>

class FlashFirmware;

struct FlashPortOptions
{
    int deviceCount = 1;    // 0: until stopped
    int timeoutMs = 0;      // 0: wait forever
    int deviceTimeoutMs = 0; // a device silent this long is given up and the port waits for the next; 0: never
    bool lowLatency = true;
    bool reopen = false;    // a lost port is looked for again every 100 ms, not the end
    bool hotPlug = false;   // a lost port waits to be opened again by its owner when it is back
};

// One port of a kavri-flash run: devices served one after another, each
// started the moment it announces itself, as if Download were pressed at
// once. Many run side by side in one event loop; none waits for another.
// A port that is done closes at once and handles no byte more.
class FlashPort : public QObject
{
    Q_OBJECT
public:
    FlashPort(const PortLabel &label, const FlashPortOptions &options, const FlashFirmware &firmware,
              FlashReporter &reporter, QObject *parent = nullptr);

    // False when the port would not open: reported (exitCode() 3), unless
    // the port is away, where every attempt fails alike until it is back.
    bool open();
    // The system no longer lists the port: its line is gone, as if lost.
    void vanished();
    // Stops where the port is, logging a device it leaves behind as result.
    void stop(TransferResult result);
    // Lets a transfer under way end, then stops; a port with none stops now.
    void stopAfterTransfer();

    QString name() const { return label.name; }
    bool isOpen() const { return line && line->port.isOpen(); }
    bool isDone() const { return done; }
    // Lost with --all-ports: it is opened again when it is back.
    bool isAway() const { return away; }
    // Its last open failed; it is tried again once it has left the list and come back.
    bool openFailed() const { return failedToOpen; }
    int exitCode() const { return code; }
    const PortSummary &summary() const { return figures; }
    // Where the port is, for a message about its end.
    QString whereText() const { return whereText(state()); }

signals:
    // A device's session ended (completed, canceled, lost, ...).
    void deviceEnded(const DeviceRecord &record);
    // The port opened or closed.
    void lineChanged();
    // The port has done what it was asked, or cannot go on.
    void finished();

private:
    // The port and its driver, which holds on to it.
    struct Line
    {
        QSerialPort port;
        SerialTransfer transfer{port};
    };

    void makeLine();
    void releaseLineLater();
    TransferProtocol::State state() const;
    DeviceFigures deviceFigures() const;
    void portLost(const QString &text, TransferProtocol::State stateWhenLost);
    void startDevice(const QByteArray &identity);
    void showProgress();
    void endDevice(TransferResult result);
    void deviceDone();
    int silenceLimit() const;
    bool deviceLimitReached() const;
    void deviceTimedOut();
    void recordDevice(TransferResult result);
    void leaveDevice(TransferResult result);
    void finish(int exitCode, const QString &ending);
    void timedOut();
    QString whereText(TransferProtocol::State state) const;
    QString stoppedText() const;

    PortLabel label;
    FlashPortOptions options;
    const FlashFirmware &firmware;
    FirmwareImage image; // the one the current device is given
    FlashReporter &reporter;
    // Only while the port is open or about to be: a station meets a new port
    // name with every adapter plugged in, and a closed QSerialPort keeps
    // its write buffer.
    std::unique_ptr<Line> line;
    QTimer reopenRetry;
    bool lastTransfer = false; // stop once the transfer under way ends
    int devicesServed = 0;
    bool done = false;
    bool away = false;
    bool failedToOpen = false;
    int code = ExitOk;
    PortSummary figures;
};

#endif // FLASHPORT_H
