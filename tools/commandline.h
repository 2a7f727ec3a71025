#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include <QCommandLineParser>
#include <QObject>
#include <QSocketNotifier>
#include <QString>

#include <optional>

// What the command-line tools share: their option handling and a clean stop
// on Ctrl-C.
namespace CommandLine {

// Exit statuses the tools share.
constexpr int UsageExitCode = 2;         // bad usage (for kavri-flash also a bad firmware file)
constexpr int PortExitCode = 3;          // the line did not open, or it was lost
constexpr int TimeoutExitCode = 4;       // the far end stayed silent too long
constexpr int WriteExitCode = 5;         // an output file could not be written
constexpr int InterruptedExitCode = 130; // stopped by SIGINT or SIGTERM

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

signals:
    void stopRequested(const QString &signalName);

private:
#ifndef Q_OS_WIN
    void drain();

    QSocketNotifier m_notifier{QSocketNotifier::Read};
#endif
};

#endif // COMMANDLINE_H
