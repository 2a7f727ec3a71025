#include "ptydevice.h"

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <utility>

namespace {

constexpr int DefaultPollIntervalMs = 20;

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

} // namespace

PtyDevice::PtyDevice(const DeviceSimulator::Settings &settings, QObject *parent)
    : QObject(parent)
    , m_simulator(settings)
{
    m_pollTimer.setInterval(DefaultPollIntervalMs);
    connect(&m_pollTimer, &QTimer::timeout, this,
            [this] { schedule(m_simulator.tick(), m_clock.nsecsElapsed()); });
    connect(&m_readNotifier, &QSocketNotifier::activated, this, &PtyDevice::readFromHost);
    connect(&m_writeNotifier, &QSocketNotifier::activated, this, &PtyDevice::writePending);
    connect(&m_hostWatchNotifier, &QSocketNotifier::activated, this, &PtyDevice::readHostEvents);
    connect(&m_releaseWakeUp, &PreciseWakeUp::due, this, &PtyDevice::releaseDue);
}

PtyDevice::~PtyDevice()
{
    closeLine();
}

bool PtyDevice::open()
{
    termios settings = rawLineSettings();
    int masterFd = -1;
    if (openpty(&masterFd, &m_slaveFd, nullptr, &settings, nullptr) != 0) {
        m_error = qt_error_string(errno);
        m_slaveFd = -1;
        return false;
    }
    if (!makeNonBlocking(masterFd)) {
        m_error = qt_error_string(errno);
        ::close(masterFd);
        closeLine();
        return false;
    }
    fcntl(masterFd, F_SETFD, FD_CLOEXEC);
    // Our own slave descriptor stays open: while it exists the master never
    // reads EIO, whether or not the host currently has the port open.
    fcntl(m_slaveFd, F_SETFD, FD_CLOEXEC);
    m_slavePath = QString::fromLocal8Bit(ttyname(m_slaveFd));
    attachLine(masterFd);
    return true;
}

bool PtyDevice::openPort(const QString &path)
{
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        m_error = QStringLiteral("%1: %2").arg(path, qt_error_string(errno));
        return false;
    }
    const termios settings = rawLineSettings();
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        m_error = QStringLiteral("%1: %2").arg(path, qt_error_string(errno));
        ::close(fd);
        return false;
    }
    attachLine(fd);
    return true;
}

bool PtyDevice::openForHost()
{
    if (!open())
        return false;
    if (!startWhenHostOpens() || !pointLink()) {
        closeLine();
        return false;
    }
    return true;
}

bool PtyDevice::pointLink()
{
    if (m_linkPath.isEmpty())
        return true;
    // Made under a temporary name and renamed over the old one, so a host
    // looking the link up finds either no line or a whole one.
    const QByteArray link = m_linkPath.toLocal8Bit();
    const QByteArray temporary = link + ".new." + QByteArray::number(getpid());
    ::unlink(temporary.constData());
    if (::symlink(m_slavePath.toLocal8Bit().constData(), temporary.constData()) != 0
        || ::rename(temporary.constData(), link.constData()) != 0) {
        m_error = QStringLiteral("%1: %2").arg(m_linkPath, qt_error_string(errno));
        ::unlink(temporary.constData());
        return false;
    }
    m_linkMade = true;
    return true;
}

void PtyDevice::removeLink()
{
    if (std::exchange(m_linkMade, false))
        ::unlink(m_linkPath.toLocal8Bit().constData());
}

void PtyDevice::attachLine(int fd)
{
    m_lineFd = fd;
    m_readNotifier.setSocket(m_lineFd);
    m_writeNotifier.setSocket(m_lineFd);
    m_readNotifier.setEnabled(true);
    // One clock for the whole run: line pacing and the figures span a replug.
    if (!m_clock.isValid())
        m_clock.start();
}

void PtyDevice::setBaudRate(int baud)
{
    m_toHost.setBaudRate(baud);
    m_fromHost.setBaudRate(baud);
}

void PtyDevice::start()
{
    schedule(m_simulator.start(), m_clock.nsecsElapsed());
    m_pollTimer.start();
}

bool PtyDevice::startWhenHostOpens()
{
    if (!watchHost())
        return false;
    connect(this, &PtyDevice::hostOpened, this, &PtyDevice::start, Qt::SingleShotConnection);
    return true;
}

bool PtyDevice::watchHost()
{
    // The slave's device node reports every open and close; ours came earlier.
    m_hostWatchFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_hostWatchFd < 0
        || inotify_add_watch(m_hostWatchFd, m_slavePath.toLocal8Bit().constData(),
                             IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        m_error = qt_error_string(errno);
        stopWatchingHost();
        return false;
    }
    m_hostWatchNotifier.setSocket(m_hostWatchFd);
    m_hostWatchNotifier.setEnabled(true);
    return true;
}

void PtyDevice::readHostEvents()
{
    alignas(inotify_event) char buffer[4096];
    ssize_t count;
    while ((count = ::read(m_hostWatchFd, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < count;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            if (event->mask & IN_OPEN) {
                ++m_hostOpenCount;
                emit hostOpened();
            }
            if (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                --m_hostOpenCount;
                emit hostClosed();
            }
        }
    }
}

void PtyDevice::stopWatchingHost()
{
    m_hostWatchNotifier.setEnabled(false);
    if (m_hostWatchFd >= 0)
        ::close(m_hostWatchFd);
    m_hostWatchFd = -1;
    // The host's close of this slave will never be reported now.
    m_hostOpenCount = 0;
}

void PtyDevice::hangUp()
{
    if (!isOpen())
        return;
    closeLine();
    emit unplugged();
}

void PtyDevice::closeLine()
{
    // The name goes first, so a host that notices the hang-up cannot find
    // the dead line under it again.
    removeLink();
    stopWatchingHost();
    m_pollTimer.stop();
    m_releaseWakeUp.cancel();
    m_readNotifier.setEnabled(false);
    m_writeNotifier.setEnabled(false);
    if (m_lineFd >= 0)
        ::close(m_lineFd);
    if (m_slaveFd >= 0)
        ::close(m_slaveFd);
    m_lineFd = m_slaveFd = -1;
    m_pending.clear();
    m_scheduled.clear();
}

void PtyDevice::readFromHost()
{
    QByteArray chunk;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(m_lineFd, buffer, sizeof buffer);
        if (count > 0) {
            chunk.append(buffer, count);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else if (count < 0 && errno == EAGAIN) {
            break;
        } else {
            hangUp();
            return;
        }
    }
    const qint64 arrivedAt = m_fromHost.deliver(m_clock.nsecsElapsed(), chunk.size());
    const DeviceSimulator::Output output = m_simulator.feed(chunk);
    if (output.events & DeviceSimulator::FrameReceived)
        recordTurnaround(arrivedAt);
    schedule(output, arrivedAt);
}

void PtyDevice::recordTurnaround(qint64 frameArrivedAt)
{
    const qint64 frameSentAt = frameArrivedAt - m_fromHost.durationNs(DeviceSimulator::FrameLength);
    if (m_requestWrittenAt >= 0)
        m_turnaroundsNs.append(frameSentAt - m_requestWrittenAt);
    m_requestWrittenAt = -1;
}

void PtyDevice::schedule(const DeviceSimulator::Output &output, qint64 readyAt)
{
    if (!m_toHost.isPaced()) {
        apply(output);
        return;
    }
    // Events wait with the bytes, so a device never ends before its last
    // reply (a CAN, say) is on the line.
    m_scheduled.append({m_toHost.deliver(readyAt, output.bytes.size()), output});
    if (m_scheduled.size() == 1)
        m_releaseWakeUp.wakeAt(m_scheduled.first().dueNs);
}

void PtyDevice::releaseDue()
{
    while (!m_scheduled.isEmpty() && m_scheduled.first().dueNs <= m_clock.nsecsElapsed())
        apply(m_scheduled.takeFirst().output);
    if (!m_scheduled.isEmpty())
        m_releaseWakeUp.wakeAt(m_scheduled.first().dueNs);
}

void PtyDevice::apply(const DeviceSimulator::Output &output)
{
    if (output.events & DeviceSimulator::FrameRequested)
        m_requestUnwritten = true;
    m_pending.append(output.bytes);
    writePending();
    if (output.events & DeviceSimulator::DeviceFinished) {
        recordTransferEnd();
        emit deviceFinished(m_simulator.currentDeviceIndex());
    }
    if (output.events & DeviceSimulator::UnplugRequested)
        hangUp();
    if (output.events & DeviceSimulator::AllDone) {
        m_pollTimer.stop();
        emit allDone();
    }
}

void PtyDevice::recordTransferEnd()
{
    if (m_transferStartedAt >= 0)
        m_transferTimesNs.append(m_clock.nsecsElapsed() - m_transferStartedAt);
    m_transferStartedAt = -1;
}

void PtyDevice::writePending()
{
    while (!m_pending.isEmpty()) {
        const ssize_t count = ::write(m_lineFd, m_pending.constData(), m_pending.size());
        if (count >= 0) {
            m_pending.remove(0, count);
        } else if (errno == EAGAIN) {
            break;
        } else if (errno != EINTR) {
            hangUp();
            return;
        }
    }
    m_writeNotifier.setEnabled(!m_pending.isEmpty());
    if (m_pending.isEmpty() && m_requestUnwritten) {
        m_requestUnwritten = false;
        m_requestWrittenAt = m_clock.nsecsElapsed();
        if (m_transferStartedAt < 0)
            m_transferStartedAt = m_requestWrittenAt;
    }
}
