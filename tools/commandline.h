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

constexpr int UsageExitCode = 2;

enum class VersionOption { Offered, Omitted };

// Parses the arguments, answering --help and (when offered) --version itself
// with exit 0. --version has no short form, since -v means verbose. Returns
// false after printing the problem and a hint to stderr.
bool parse(QCommandLineParser &parser, const QStringList &arguments, VersionOption versionOption);

// The option's value as a whole number in [minimum, maximum]; nullopt (with
// the reason printed) when it is not one.
std::optional<qint64> integerValue(const QCommandLineParser &parser, const QString &option,
                                   qint64 minimum, qint64 maximum);

// Prints "<program>: text" to stderr.
void printError(const QString &text);

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
    void drain();

    QSocketNotifier m_notifier{QSocketNotifier::Read};
};

#endif // COMMANDLINE_H
