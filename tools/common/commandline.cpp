#include "commandline.h"

#include <QCoreApplication>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace CommandLine {

void printError(const QString &text)
{
    const QString line = QCoreApplication::applicationName() + QStringLiteral(": ") + text + u'\n';
    std::fputs(line.toLocal8Bit().constData(), stderr);
}

void printLine(const QString &text)
{
    std::fputs((text + u'\n').toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

bool parse(QCommandLineParser &parser, const QStringList &arguments)
{
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Show the program's version."));
    parser.addOption(version);
    if (!parser.parse(arguments)) {
        printError(parser.errorText() + QStringLiteral(" (see --help)"));
        return false;
    }
    // Printed rather than left to showHelp() and showVersion(), which on
    // Windows open a message box when started without a console of their own.
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        std::exit(0);
    }
    if (parser.isSet(version)) {
        printLine(QCoreApplication::applicationName() + u' ' + QCoreApplication::applicationVersion());
        std::exit(0);
    }
    return true;
}

std::optional<qint64> integerValue(const QCommandLineParser &parser, const QString &option,
                                   qint64 minimum, qint64 maximum)
{
    bool ok = false;
    const qint64 value = parser.value(option).toLongLong(&ok);
    if (ok && value >= minimum && value <= maximum)
        return value;
    printError(QStringLiteral("--%1 takes a whole number from %2 to %3, not \"%4\"")
                   .arg(option).arg(minimum).arg(maximum).arg(parser.value(option)));
    return std::nullopt;
}

std::optional<int> millisecondsValue(const QCommandLineParser &parser, const QString &option, int maximumSeconds)
{
    bool ok = false;
    const double seconds = parser.value(option).toDouble(&ok);
    if (ok && seconds >= 0 && seconds <= maximumSeconds)
        return int(std::lround(seconds * 1000));
    printError(QStringLiteral("--%1 takes seconds from 0 to %2 (fractions allowed), not \"%3\"")
                   .arg(option).arg(maximumSeconds).arg(parser.value(option)));
    return std::nullopt;
}

QString secondsText(int milliseconds)
{
    return QString::number(milliseconds / 1000.0);
}

} // namespace CommandLine
