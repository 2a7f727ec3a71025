#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include <QCommandLineParser>
#include <QString>

#include <optional>

// What the command-line tools share: their option handling.
namespace CommandLine {

// Parses the arguments, answering --help and --version itself with exit 0.
// --version has no short form, since -v means verbose. Returns false after
// printing the problem and a hint to stderr.
bool parse(QCommandLineParser &parser, const QStringList &arguments);

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

#endif // COMMANDLINE_H
