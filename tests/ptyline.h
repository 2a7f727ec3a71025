#ifndef PTYLINE_H
#define PTYLINE_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QTest>

#include <fcntl.h>
#include <pty.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

// A pseudo-terminal whose device end a test plays by hand, for what the
// simulator never sends. The host opens path as its serial port.
class PtyLine
{
public:
    PtyLine()
    {
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0)
            return;
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        // Not inherited by a host process, or its copy would keep the line up after hangUp().
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        path = QString::fromLocal8Bit(ttyname(slave));
        // Every later open of the slave shows here: only the host opens it.
        openWatch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        inotify_add_watch(openWatch, path.toLocal8Bit().constData(), IN_OPEN);
    }
    ~PtyLine()
    {
        ::close(openWatch);
        hangUp();
        ::close(slave);
    }
    PtyLine(const PtyLine &) = delete;
    PtyLine &operator=(const PtyLine &) = delete;

    bool wasOpened() const
    {
        char events[256];
        return ::read(openWatch, events, sizeof events) > 0;
    }

    bool send(const QByteArray &bytes) const
    {
        return ::write(master, bytes.constData(), bytes.size()) == bytes.size();
    }

    // Sends after the line has been quiet long enough for the host to take
    // an 0x03 at the head of bytes for an announcement (20 ms).
    bool sendAfterSilence(const QByteArray &bytes) const
    {
        QTest::qWait(30);
        return send(bytes);
    }

    // What the host wrote to the line so far.
    QByteArray received() const
    {
        QByteArray bytes;
        char buffer[4096];
        ssize_t count;
        while ((count = ::read(master, buffer, sizeof buffer)) > 0)
            bytes.append(buffer, count);
        return bytes;
    }

    // What the host wrote: count bytes, or what came before timeoutMs if fewer did.
    QByteArray receive(int count, int timeoutMs = 15000) const
    {
        QByteArray bytes;
        QElapsedTimer clock;
        clock.start();
        while (bytes.size() < count && clock.elapsed() < timeoutMs) {
            QTest::qWait(5);
            bytes += received();
        }
        return bytes;
    }

    // The line settings the host left on its end: a pseudo-terminal shares
    // one set between its two ends.
    termios settings() const
    {
        termios now{};
        tcgetattr(master, &now);
        return now;
    }

    // What differs from 115200 baud, 1 stop bit, no flow control in the
    // settings the host left on the line; empty when nothing does. A
    // pseudo-terminal always reads as 8 data bits without parity, so those
    // two cannot be told apart here.
    QString settingsProblem() const
    {
        const termios now = settings();
        QStringList problems;
        if (cfgetospeed(&now) != B115200 || cfgetispeed(&now) != B115200)
            problems.append(QStringLiteral("speed is not 115200"));
        if (now.c_cflag & CSTOPB)
            problems.append(QStringLiteral("2 stop bits"));
        if (now.c_cflag & CRTSCTS)
            problems.append(QStringLiteral("hardware flow control"));
        if (now.c_iflag & (IXON | IXOFF))
            problems.append(QStringLiteral("software flow control"));
        return problems.join(QStringLiteral(", "));
    }

    // The device end goes away, as when a USB adapter is pulled.
    void hangUp()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }

    QString path;

private:
    int master = -1;
    int slave = -1; // held open, so the host's close is no hang-up for the test's end
    int openWatch = -1;
};

#endif // PTYLINE_H
