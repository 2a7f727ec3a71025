#include "exitstatus.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

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
    notifier.setSocket(stopPipe[0]);
    notifier.setEnabled(true);
    connect(&notifier, &QSocketNotifier::activated, this, &StopSignals::drain);
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
    notifier.setEnabled(false);
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
