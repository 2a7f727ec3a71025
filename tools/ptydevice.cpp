#include "ptydevice.h"

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

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
    connect(&m_pollTimer, &QTimer::timeout, this, [this] { apply(m_simulator.tick()); });
    connect(&m_readNotifier, &QSocketNotifier::activated, this, &PtyDevice::readMaster);
    connect(&m_writeNotifier, &QSocketNotifier::activated, this, &PtyDevice::writePending);
}

PtyDevice::~PtyDevice()
{
    closeLine();
}

bool PtyDevice::open()
{
    termios settings = rawLineSettings();
    if (openpty(&m_masterFd, &m_slaveFd, nullptr, &settings, nullptr) != 0) {
        m_error = qt_error_string(errno);
        m_masterFd = m_slaveFd = -1;
        return false;
    }
    if (!makeNonBlocking(m_masterFd)) {
        m_error = qt_error_string(errno);
        closeLine();
        return false;
    }
    fcntl(m_masterFd, F_SETFD, FD_CLOEXEC);
    // Our own slave descriptor stays open: while it exists the master never
    // reads EIO, whether or not the host currently has the port open.
    fcntl(m_slaveFd, F_SETFD, FD_CLOEXEC);
    m_slavePath = QString::fromLocal8Bit(ttyname(m_slaveFd));
    m_readNotifier.setSocket(m_masterFd);
    m_writeNotifier.setSocket(m_masterFd);
    m_readNotifier.setEnabled(true);
    m_clock.start();
    return true;
}

void PtyDevice::start()
{
    apply(m_simulator.start());
    m_pollTimer.start();
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
    m_pollTimer.stop();
    m_readNotifier.setEnabled(false);
    m_writeNotifier.setEnabled(false);
    if (m_masterFd >= 0)
        ::close(m_masterFd);
    if (m_slaveFd >= 0)
        ::close(m_slaveFd);
    m_masterFd = m_slaveFd = -1;
    m_pending.clear();
}

void PtyDevice::readMaster()
{
    QByteArray chunk;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(m_masterFd, buffer, sizeof buffer);
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
    const qint64 receivedAt = m_clock.nsecsElapsed();
    const DeviceSimulator::Output output = m_simulator.feed(chunk);
    if (output.events & DeviceSimulator::FrameReceived)
        recordTurnaround(receivedAt);
    apply(output);
}

void PtyDevice::recordTurnaround(qint64 receivedAt)
{
    if (m_requestWrittenAt >= 0)
        m_turnaroundsNs.append(receivedAt - m_requestWrittenAt);
    m_requestWrittenAt = -1;
}

void PtyDevice::apply(const DeviceSimulator::Output &output)
{
    if (output.events & DeviceSimulator::FrameRequested)
        m_requestUnwritten = true;
    m_pending.append(output.bytes);
    writePending();
    if (output.events & DeviceSimulator::DeviceFinished)
        emit deviceFinished(m_simulator.currentDeviceIndex());
    if (output.events & DeviceSimulator::UnplugRequested)
        hangUp();
    if (output.events & DeviceSimulator::AllDone) {
        m_pollTimer.stop();
        emit allDone();
    }
}

void PtyDevice::writePending()
{
    while (!m_pending.isEmpty()) {
        const ssize_t count = ::write(m_masterFd, m_pending.constData(), m_pending.size());
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
    }
}
