#include "commandline.h"

#include <QCoreApplication>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

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

bool parse(QCommandLineParser &parser, const QStringList &arguments, VersionOption versionOption)
{
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Show the program's version."));
    if (versionOption == VersionOption::Offered)
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
    if (versionOption == VersionOption::Offered && parser.isSet(version)) {
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

#ifdef Q_OS_WIN

namespace {

StopSignals *stopTarget = nullptr;

// Windows delivers Ctrl-C, Ctrl-Break and the console's closing on a thread
// of its own; the stop is handed to the event loop like a signal elsewhere.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    QMetaObject::invokeMethod(stopTarget, [event] {
        emit stopTarget->stopRequested(event == CTRL_C_EVENT ? QStringLiteral("Ctrl-C") : QStringLiteral("Ctrl-Break"));
    }, Qt::QueuedConnection);
    return TRUE;
}

} // namespace

StopSignals::StopSignals(QObject *parent)
    : QObject(parent)
{
    stopTarget = this;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

StopSignals::~StopSignals()
{
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    stopTarget = nullptr;
}

void StopSignals::catchHangUp()
{
}

#else

namespace {

// Written by the signal handler, read by the event loop: the only way out of
// a handler that is safe at any moment.
int stopPipe[2] = {-1, -1};

void onStopSignal(int signalNumber)
{
    const int savedErrno = errno;
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(stopPipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

StopSignals::StopSignals(QObject *parent)
    : QObject(parent)
{
    if (::pipe2(stopPipe, O_NONBLOCK | O_CLOEXEC) != 0)
        return; // the default action (ending the process) still applies
    m_notifier.setSocket(stopPipe[0]);
    m_notifier.setEnabled(true);
    connect(&m_notifier, &QSocketNotifier::activated, this, &StopSignals::drain);
    struct sigaction action{};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void StopSignals::catchHangUp()
{
    if (stopPipe[0] < 0)
        return;
    struct sigaction action{};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &action, nullptr);
}

StopSignals::~StopSignals()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGHUP, SIG_DFL);
    m_notifier.setEnabled(false);
    for (int &fd : stopPipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void StopSignals::drain()
{
    char byte = 0;
    if (::read(stopPipe[0], &byte, 1) != 1)
        return;
    if (byte == SIGHUP)
        emit reopenRequested();
    else
        emit stopRequested(byte == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM"));
}

#endif
