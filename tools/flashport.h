#ifndef FLASHPORT_H
#define FLASHPORT_H

#include "flashreport.h"
#include "serialtransfer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QSerialPort>
#include <QTimer>

// kavri-flash's exit statuses; across ports the run takes the highest.
enum FlashExitCode : int {
    ExitOk = 0,
    ExitCancelled = 1,   // a device cancelled its download
    ExitBadInput = 2,    // bad usage or a firmware file that cannot be sent
    ExitPortFailed = 3,  // a port did not open, or was lost (without --reopen)
    ExitTimedOut = 4,    // a line stayed silent longer than --timeout
    ExitLogFailed = 5,   // the --log record could not be written
    ExitInterrupted = 130,
};

// "Cannot send FILE: File is Vacant"; a text that names the file already
// ("Cannot read FILE: ...") stands as it is.
QString cannotSendText(const QString &firmwarePath, const QString &problem);

struct FlashPortOptions
{
    QString firmwarePath;
    int deviceCount = 1;    // 0: until stopped
    int timeoutSeconds = 0; // 0: wait forever
    bool lowLatency = true;
    bool reopen = false;    // a lost port is opened again when it comes back, not the end
};

// One port of a kavri-flash run: devices served one after another, each
// started the moment it announces itself, as if Download were pressed at
// once. Many run side by side in one event loop; none waits for another.
class FlashPort : public QObject
{
    Q_OBJECT
public:
    FlashPort(const QString &name, const FlashPortOptions &options, FlashReporter &reporter,
              QObject *parent = nullptr);

    // False (reported, exitCode() 3) when the port would not open.
    bool open();
    // Stops where the port is, logging a device it leaves behind as result.
    void stop(DeviceRecord::Result result);
    void close() { transfer.close(); }

    QString name() const { return portName; }
    bool isDone() const { return done; }
    int exitCode() const { return code; }
    const PortSummary &summary() const { return figures; }
    // Where the port is, for a message about its end.
    QString whereText() const { return whereText(transfer.protocol().state()); }

signals:
    // A device's session ended (completed, cancelled, lost, ...).
    void deviceEnded(const DeviceRecord &record);
    // The port has done what it was asked, or cannot go on.
    void finished();
    // The firmware cannot be sent: the whole run stops.
    void firmwareFailed();

private:
    void receive();
    void portLost(const QString &text, TransferProtocol::State stateWhenLost);
    void startDevice(const QByteArray &identity);
    void showProgress();
    void endDevice(TransferProtocol::Outcome outcome);
    void recordDevice(DeviceRecord::Result result);
    void leaveDevice(DeviceRecord::Result result);
    void finish(int exitCode);
    void checkSilence();
    QString whereText(TransferProtocol::State state) const;
    quint64 firmwareBytesSent() const;

    QString portName;
    FlashPortOptions options;
    FlashReporter &reporter;
    QSerialPort port;
    QFile firmware;
    quint32 firmwareSize = 0;
    SerialTransfer transfer{port, firmware, firmwareSize};
    QTimer silence;
    QTimer reopenRetry;
    QElapsedTimer sinceLineSpoke;
    QElapsedTimer transferClock;
    QByteArray identity;
    bool progressChanged = false;
    int devicesServed = 0;
    bool done = false;
    int code = ExitOk;
    PortSummary figures;
};

#endif // FLASHPORT_H
