#include "ptydevice.h"

#include <utility>

namespace {

constexpr int DefaultPollIntervalMs = 20;

} // namespace

PtyDevice::PtyDevice(const DeviceSimulator::Settings &settings, QObject *parent)
    : QObject(parent)
    , m_simulator(settings)
{
    m_pollTimer.setInterval(DefaultPollIntervalMs);
    m_silenceTimer.setSingleShot(true);
    connect(&m_pollTimer, &QTimer::timeout, this, [this] {
        schedule(m_simulator.tick(), m_clock.nsecsElapsed());
        watchSilence();
    });
    connect(&m_silenceTimer, &QTimer::timeout, this, &PtyDevice::giveUp);
    connect(&m_line, &DeviceLine::received, this, &PtyDevice::receive);
    connect(&m_line, &DeviceLine::drained, this, &PtyDevice::requestWritten);
    connect(&m_line, &DeviceLine::failed, this, &PtyDevice::hangUp);
    connect(&m_line, &DeviceLine::hostOpened, this, &PtyDevice::hostOpened);
    connect(&m_line, &DeviceLine::hostClosed, this, &PtyDevice::hostClosed);
    connect(&m_releaseWakeUp, &PreciseWakeUp::due, this, &PtyDevice::releaseDue);
}

PtyDevice::~PtyDevice()
{
    closeLine();
}

bool PtyDevice::open()
{
    if (!m_line.openPty())
        return false;
    startClock();
    return true;
}

bool PtyDevice::openPort(const QString &path)
{
    if (!m_line.openPort(path))
        return false;
    startClock();
    return true;
}

void PtyDevice::startClock()
{
    // One clock for the whole run: line pacing and the figures span a replug.
    if (!m_clock.isValid())
        m_clock.start();
}

bool PtyDevice::openForHost()
{
    if (!open())
        return false;
    if (!m_line.watchHost() || !m_line.pointLink()) {
        closeLine();
        return false;
    }
    connect(this, &PtyDevice::hostOpened, this, &PtyDevice::start, Qt::SingleShotConnection);
    return true;
}

void PtyDevice::setBaudRate(int baud)
{
    m_toHost.setBaudRate(baud);
    m_fromHost.setBaudRate(baud);
}

void PtyDevice::setIdleTimeout(int milliseconds)
{
    m_silenceTimer.setInterval(milliseconds);
}

void PtyDevice::start()
{
    schedule(m_simulator.start(), m_clock.nsecsElapsed());
    watchSilence();
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
    m_line.close();
    m_pollTimer.stop();
    m_silenceTimer.stop();
    m_releaseWakeUp.cancel();
    m_scheduled.clear();
}

void PtyDevice::receive(const QByteArray &bytes)
{
    const qint64 arrivedAt = m_fromHost.deliver(m_clock.nsecsElapsed(), bytes.size());
    const DeviceSimulator::Output output = m_simulator.feed(bytes);
    if (output.events & DeviceSimulator::FrameReceived)
        m_statistics.frameSent(arrivedAt - m_fromHost.durationNs(DeviceSimulator::FrameLength));
    schedule(output, arrivedAt);
    // The host spoke: its silence counts afresh.
    m_silenceTimer.stop();
    watchSilence();
}

// Runs while a device waits for the host; stopped while it waits for nothing
// (no host yet, between devices, unplugged, finished).
void PtyDevice::watchSilence()
{
    if (m_silenceTimer.interval() > 0 && m_simulator.awaitsHost()) {
        if (!m_silenceTimer.isActive())
            m_silenceTimer.start();
    } else {
        m_silenceTimer.stop();
    }
}

void PtyDevice::giveUp()
{
    emit hostSilent();
    schedule(m_simulator.giveUp(), m_clock.nsecsElapsed());
}

void PtyDevice::schedule(const DeviceSimulator::Output &output, qint64 readyAt)
{
    if (!m_toHost.isPaced()) {
        apply(output, m_simulator.currentDeviceIndex());
        return;
    }
    // Events wait with the bytes, so a device never ends before its last
    // reply (a CAN, say) is on the line.
    m_scheduled.append({m_toHost.deliver(readyAt, output.bytes.size()), output, m_simulator.currentDeviceIndex()});
    if (m_scheduled.size() == 1)
        m_releaseWakeUp.wakeAt(m_scheduled.first().dueNs);
}

void PtyDevice::releaseDue()
{
    while (!m_scheduled.isEmpty() && m_scheduled.first().dueNs <= m_clock.nsecsElapsed()) {
        const Release release = m_scheduled.takeFirst();
        apply(release.output, release.deviceIndex);
    }
    if (!m_scheduled.isEmpty())
        m_releaseWakeUp.wakeAt(m_scheduled.first().dueNs);
}

void PtyDevice::apply(const DeviceSimulator::Output &output, int deviceIndex)
{
    if (output.events & DeviceSimulator::FrameRequested)
        m_requestUnwritten = true;
    m_line.write(output.bytes);
    if (output.events & DeviceSimulator::DeviceFinished) {
        m_statistics.transferEnded(m_clock.nsecsElapsed());
        emit deviceFinished(deviceIndex);
    }
    if (output.events & DeviceSimulator::UnplugRequested)
        hangUp();
    if (output.events & DeviceSimulator::AllDone) {
        m_pollTimer.stop();
        emit allDone();
    }
}

void PtyDevice::requestWritten()
{
    if (std::exchange(m_requestUnwritten, false))
        m_statistics.requestWritten(m_clock.nsecsElapsed());
}
