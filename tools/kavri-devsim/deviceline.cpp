#include "deviceline.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <utility>

namespace {

termios rawLineSettings()
{
    termios settings{};
    cfmakeraw(&settings);
    // cfmakeraw leaves fields it does not clear untouched, so a zeroed struct
    // still lacks the receiver, modem-line independence and blocking reads.
    settings.c_cflag |= CREAD | CLOCAL;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    cfsetspeed(&settings, B115200);
    return settings;
}

bool makeNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Whether this process may open another descriptor: when it may, an EMFILE
// from inotify_init1 is the user's limit on inotify instances, not its own.
bool descriptorsLeft()
{
    const int fd = ::dup(STDIN_FILENO);
    if (fd >= 0)
        ::close(fd);
    return fd >= 0 || errno != EMFILE;
}

QString inotifyLimitText()
{
    QFile limit(QStringLiteral("/proc/sys/fs/inotify/max_user_instances"));
    const QByteArray value = limit.open(QIODevice::ReadOnly) ? limit.readAll().trimmed() : QByteArrayLiteral("?");
    return QStringLiteral("no inotify instance left for this user (fs.inotify.max_user_instances is %1, and each "
                          "line takes one); raise it with sysctl, or run fewer lines")
        .arg(QString::fromLatin1(value));
}

} // namespace

DeviceLine::DeviceLine(QObject *parent)
    : QObject(parent)
{
    connect(&readNotifier, &QSocketNotifier::activated, this, &DeviceLine::readAvailable);
    connect(&writeNotifier, &QSocketNotifier::activated, this, &DeviceLine::writePending);
    connect(&hostWatchNotifier, &QSocketNotifier::activated, this, &DeviceLine::readHostEvents);
}

DeviceLine::~DeviceLine()
{
    close();
}

bool DeviceLine::openPty()
{
    termios settings = rawLineSettings();
    int masterFd = -1;
    if (openpty(&masterFd, &slaveFd, nullptr, &settings, nullptr) != 0) {
        error = qt_error_string(errno);
        slaveFd = -1;
        return false;
    }
    if (!makeNonBlocking(masterFd)) {
        error = qt_error_string(errno);
        ::close(masterFd);
        close();
        return false;
    }
    fcntl(masterFd, F_SETFD, FD_CLOEXEC);
    // Our own slave descriptor stays open: while it exists the master never
    // reads EIO, whether or not the host currently has the port open.
    fcntl(slaveFd, F_SETFD, FD_CLOEXEC);
    slaveDevicePath = QString::fromLocal8Bit(ttyname(slaveFd));
    attach(masterFd);
    return true;
}

bool DeviceLine::openPort(const QString &path)
{
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = QStringLiteral("%1: %2").arg(path, qt_error_string(errno));
        return false;
    }
    const termios settings = rawLineSettings();
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        error = QStringLiteral("%1: %2").arg(path, qt_error_string(errno));
        ::close(fd);
        return false;
    }
    attach(fd);
    return true;
}

void DeviceLine::attach(int fd)
{
    lineFd = fd;
    readNotifier.setSocket(lineFd);
    writeNotifier.setSocket(lineFd);
    readNotifier.setEnabled(true);
}

bool DeviceLine::watchHost()
{
    // The slave's device node reports every open and close; ours came earlier.
    hostWatchFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (hostWatchFd < 0) {
        const int cause = errno;
        error = cause == EMFILE && descriptorsLeft() ? inotifyLimitText() : qt_error_string(cause);
        return false;
    }
    if (inotify_add_watch(hostWatchFd, slaveDevicePath.toLocal8Bit().constData(),
                          IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        error = qt_error_string(errno);
        stopWatchingHost();
        return false;
    }
    hostWatchNotifier.setSocket(hostWatchFd);
    hostWatchNotifier.setEnabled(true);
    return true;
}

void DeviceLine::readHostEvents()
{
    alignas(inotify_event) char buffer[4096];
    ssize_t count;
    while ((count = ::read(hostWatchFd, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < count;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            if (event->mask & IN_OPEN) {
                ++hostOpenCount;
                emit hostOpened();
            }
            if (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                --hostOpenCount;
                emit hostClosed();
            }
        }
    }
}

void DeviceLine::stopWatchingHost()
{
    hostWatchNotifier.setEnabled(false);
    if (hostWatchFd >= 0)
        ::close(hostWatchFd);
    hostWatchFd = -1;
    // The host's close of this slave will never be reported now.
    hostOpenCount = 0;
}

bool DeviceLine::pointLink()
{
    if (linkPath.isEmpty())
        return true;
    const QByteArray link = linkPath.toLocal8Bit();
    const QByteArray temporary = link + ".new." + QByteArray::number(getpid());
    ::unlink(temporary.constData());
    if (::symlink(slaveDevicePath.toLocal8Bit().constData(), temporary.constData()) != 0
        || ::rename(temporary.constData(), link.constData()) != 0) {
        error = QStringLiteral("%1: %2").arg(linkPath, qt_error_string(errno));
        ::unlink(temporary.constData());
        return false;
    }
    linkMade = true;
    return true;
}

void DeviceLine::removeLink()
{
    if (std::exchange(linkMade, false))
        ::unlink(linkPath.toLocal8Bit().constData());
}

void DeviceLine::close()
{
    removeLink();
    stopWatchingHost();
    readNotifier.setEnabled(false);
    writeNotifier.setEnabled(false);
    if (lineFd >= 0)
        ::close(lineFd);
    if (slaveFd >= 0)
        ::close(slaveFd);
    lineFd = slaveFd = -1;
    pendingWrite.clear();
}

void DeviceLine::readAvailable()
{
    QByteArray chunk;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(lineFd, buffer, sizeof buffer);
        if (count > 0) {
            chunk.append(buffer, count);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else if (count < 0 && errno == EAGAIN) {
            break;
        } else {
            emit failed();
            return;
        }
    }
    emit received(chunk);
}

void DeviceLine::write(const QByteArray &bytes)
{
    pendingWrite.append(bytes);
    writePending();
}

void DeviceLine::writePending()
{
    while (!pendingWrite.isEmpty()) {
        const ssize_t count = ::write(lineFd, pendingWrite.constData(), pendingWrite.size());
        if (count >= 0) {
            pendingWrite.remove(0, count);
        } else if (errno == EAGAIN) {
            break;
        } else if (errno != EINTR) {
            emit failed();
            return;
        }
    }
    writeNotifier.setEnabled(!pendingWrite.isEmpty());
    if (pendingWrite.isEmpty())
        emit drained();
}
