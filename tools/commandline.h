#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include <QCommandLineParser>
#include <QObject>
#include <QSocketNotifier>
#include <QString>

#include <optional>

// The command-line tools' exit statuses; a kavri-flash run over many ports
// takes the highest of its ports'.
enum ExitCode : int {
    ExitOk = 0,
    ExitCanceled = 1,      // a device canceled its download, or refused a block 10 times in a row
    ExitBadInput = 2,      // bad usage, or a firmware file that cannot be sent
    ExitPortFailed = 3,    // a port did not open, or was lost (without --reopen) or lost a device
    ExitTimedOut = 4,      // the far end stayed silent too long, or no port was open that long
    ExitWriteFailed = 5,   // a record, output file or standard output could not be written
    ExitInterrupted = 130, // stopped by SIGINT or SIGTERM
};

// What the command-line tools share: their option handling and a clean stop
// on Ctrl-C.
namespace CommandLine {

enum class VersionOption { Offered, Omitted };

// Parses the arguments, answering --help and (when offered) --version itself
// with exit 0. --version has no short form, since -v means verbose. Returns
// false after printing the problem and a hint to stderr.
bool parse(QCommandLineParser &parser, const QStringList &arguments, VersionOption versionOption);

// The option's value as a whole number in [minimum, maximum]; nullopt (with
// the reason printed) when it is not one.
std::optional<qint64> integerValue(const QCommandLineParser &parser, const QString &option,
                                   qint64 minimum, qint64 maximum);

// The option's value as seconds from 0 to maximumSeconds, fractions allowed
// ("0.3"), in whole milliseconds; nullopt (with the reason printed) when it
// is not one.
std::optional<int> millisecondsValue(const QCommandLineParser &parser, const QString &option, int maximumSeconds);

// "1", "0.3": a duration in milliseconds as a user writes seconds.
QString secondsText(int milliseconds);

// Prints "<program>: text" to stderr.
void printError(const QString &text);
// Prints text and a line end to stdout at once, so a reader on a pipe sees
// each line as it happens.
void printLine(const QString &text);

} // namespace CommandLine

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

    QSocketNotifier m_notifier{QSocketNotifier::Read};
#endif
};

#endif // COMMANDLINE_H
