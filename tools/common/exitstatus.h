#ifndef EXITSTATUS_H
#define EXITSTATUS_H

#include <QObject>
#include <QSocketNotifier>
#include <QString>

// How the command-line tools end: their exit statuses, and the signals that stop them.

// The exit statuses; a kavri-flash run over many ports
// takes the highest of its ports'.
enum ExitCode : int {
    ExitOk = 0,
    ExitCanceled = 1,      // a device canceled its download, or reached the NAK limit
    ExitBadInput = 2,      // bad usage, or a firmware file that cannot be sent
    ExitPortFailed = 3,    // a port did not open, or was lost (without --reopen) or lost a device
    ExitTimedOut = 4,      // the far end stayed silent too long, or no port was open that long
    ExitWriteFailed = 5,   // a record, output file or standard output could not be written
    ExitInterrupted = 130, // stopped by SIGINT or SIGTERM
};

// Turns SIGINT and SIGTERM into a Qt signal delivered by the event loop, so
// a stop is handled between two events rather than inside one.
class StopSignals : public QObject
{
    Q_OBJECT
public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

    // SIGHUP asks for reopenRequested() instead of ending the process (not on Windows).
    void catchHangUp();

signals:
    void stopRequested(const QString &signalName);
    void reopenRequested();

private:
#ifndef Q_OS_WIN
    void drain();

    QSocketNotifier notifier{QSocketNotifier::Read};
#endif
};

#endif // EXITSTATUS_H
