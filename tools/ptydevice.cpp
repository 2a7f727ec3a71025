#include "ptydevice.h"

#include <algorithm>
#include <utility>

namespace {

constexpr int DefaultPollIntervalMs = 20;
// The silence a device keeps before it announces itself: the host takes an
// 0x03 for an announcement only after 20 ms of silence on the line.
constexpr qint64 AnnounceQuietNs = 30'000'000;

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
    connect(&m_line, &DeviceLine::hostOpened, this, [this] {
        m_hostOpenedNs = m_clock.nsecsElapsed();
        emit hostOpened();
    });
    connect(&m_line, &DeviceLine::hostClosed, this, &PtyDevice::hostClosed);
    connect(&m_releaseWakeUp, &PreciseWakeUp::due, this, &PtyDevice::releaseDue);
    connect(&m_quietWakeUp, &PreciseWakeUp::due, this, &PtyDevice::lineWentQuiet);
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
    m_quietWakeUp.cancel();
    m_quietAtNs = -1;
}

void PtyDevice::receive(const QByteArray &bytes)
{
    const qint64 now = m_clock.nsecsElapsed();
    // Bytes that start arriving after the earlier ones have arrived came
    // after a quiet line, however late the wake-up that says so.
    if (m_quietAtNs >= 0 && now >= m_quietAtNs)
        lineWentQuiet();
    const qint64 arrivedAt = m_fromHost.deliver(now, bytes.size());
    m_lastFromHostNs = arrivedAt;
    const bool paced = m_fromHost.isPaced();
    const DeviceSimulator::Output output = m_simulator.feed(bytes, !paced);
    if (output.events & DeviceSimulator::FrameReceived)
        m_statistics.frameSent(arrivedAt - m_fromHost.durationNs(DeviceSimulator::FrameLength));
    schedule(output, arrivedAt);
    if (paced) {
        m_quietAtNs = arrivedAt;
        m_quietWakeUp.wakeAt(arrivedAt);
    }
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

void PtyDevice::lineWentQuiet()
{
    const qint64 quietAt = std::exchange(m_quietAtNs, -1);
    if (quietAt >= 0)
        schedule(m_simulator.lineQuiet(), quietAt);
}

void PtyDevice::schedule(const DeviceSimulator::Output &output, qint64 readyAt)
{
    const int device = m_simulator.currentDeviceIndex();
    const bool speaks = !output.bytes.isEmpty();
    if (!m_toHost.isPaced()) {
        apply(output, device);
        if (speaks)
            m_toHostIdleNs = std::max(m_toHostIdleNs, m_clock.nsecsElapsed());
    } else {
        // Events wait with the bytes, so a device never ends before its last
        // reply (a CAN, say) is on the line.
        const qint64 due = m_toHost.deliver(readyAt, output.bytes.size());
        if (speaks)
            m_toHostIdleNs = due;
        queue({due, {output.bytes, {}, output.events}, device});
    }
    if (!output.announcement.isEmpty())
        scheduleAnnouncement(output.announcement, readyAt);
}

void PtyDevice::scheduleAnnouncement(const QByteArray &announcement, qint64 readyAt)
{
    const qint64 quietFrom = std::max({readyAt, m_toHostIdleNs, m_hostOpenedNs});
    qint64 due = quietFrom + AnnounceQuietNs;
    if (m_toHost.isPaced())
        due = m_toHost.deliver(due, announcement.size());
    m_toHostIdleNs = due;
    queue({due, {announcement, {}, {}}, m_simulator.currentDeviceIndex()});
}

void PtyDevice::queue(const Release &release)
{
    m_scheduled.append(release);
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
        // The host's part ends with its last byte (the EOT, say), not with
        // the quiet the device waits out after it.
        m_statistics.transferEnded(m_lastFromHostNs);
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
