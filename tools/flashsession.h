#ifndef FLASHSESSION_H
#define FLASHSESSION_H

#include "commandline.h"
#include "flashconsole.h"
#include "flashlog.h"
#include "transferprotocol.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QSerialPort>
#include <QTimer>

enum FlashExitCode : int {
    ExitOk = 0,
    ExitCancelled = 1,   // a device cancelled its download
    ExitBadInput = CommandLine::UsageExitCode,   // bad usage or a firmware file that cannot be sent
    ExitPortFailed = CommandLine::PortExitCode,  // the port did not open, or was lost (without --reopen)
    ExitTimedOut = 4,                            // the line stayed silent longer than --timeout
    ExitLogFailed = 5,                           // the --log record could not be written
    ExitInterrupted = CommandLine::InterruptedExitCode,
};

struct FlashOptions
{
    QString firmwarePath;
    QString portName;       // a listed name or a path; empty: the first listed port
    int deviceCount = 1;    // 0: until stopped
    int timeoutSeconds = 0; // 0: wait forever
    bool lowLatency = true;
    bool reopen = false;    // a lost port is opened again when it comes back, not the end
    QString logPath;        // empty: no log
};

// kavri-flash's run: one port, one firmware file, devices served one after
// another, each started the moment it announces itself, as if Download were
// pressed at once.
class FlashSession : public QObject
{
    Q_OBJECT
public:
    FlashSession(const FlashOptions &options, FlashConsole &console, QObject *parent = nullptr);

    // Checks the firmware before the port is opened, so a bad file never
    // touches the line, then waits for devices. False (exitCode() says why)
    // when it could not begin.
    bool begin();
    // Stops where the run is, saying where that was.
    void interrupt(const QString &signalName);
    int exitCode() const { return m_exitCode; }

signals:
    void finished(int exitCode);

private:
    // What one device's session came to; all zero for a device lost before
    // its transfer began.
    struct DeviceFigures
    {
        quint64 bytes = 0;
        int blocks = 0;
        int naks = 0;
        double seconds = 0;
    };

    QString checkFirmware();
    bool openLine();
    QString openPort();
    void reopenPort();
    void requestLowLatency();
    void receive();
    void handlePortError(QSerialPort::SerialPortError error);
    bool deviceOnLine() const;
    void startDevice(const QByteArray &identity);
    void showProgress();
    void endDevice(TransferProtocol::Outcome outcome);
    void recordDevice(const QString &result, const DeviceFigures &figures);
    void recordDeviceOnLine(const QString &result);
    DeviceFigures deviceFigures() const;
    void logDevice(const QString &result, const DeviceFigures &figures);
    QString summaryLine(const QString &result, const DeviceFigures &figures) const;
    quint64 firmwareBytesSent() const;
    void reportMemory(const QString &when);
    void checkSilence();
    void stop(int exitCode);
    void closeLine();
    QString whereText() const;

    FlashOptions m_options;
    FlashConsole &m_console;
    QSerialPort m_port;
    QFile m_firmware;
    quint32 m_firmwareSize = 0;
    TransferProtocol m_transfer;
    FlashLog m_log;
    QTimer m_silence;
    QTimer m_reopenRetry;
    QElapsedTimer m_sinceLineSpoke;
    QElapsedTimer m_transferClock;
    QByteArray m_identity;
    bool m_progressChanged = false;
    int m_devicesServed = 0;
    bool m_anyCancelled = false;
    bool m_stopping = false;
    int m_exitCode = ExitOk;
};

#endif // FLASHSESSION_H
