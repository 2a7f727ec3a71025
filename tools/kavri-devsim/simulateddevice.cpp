#include "simulateddevice.h"

#include <algorithm>
#include <utility>

namespace {

constexpr int defaultPollIntervalMs = 20;
// The silence a device keeps before it announces itself: the host takes an
// 0x03 for an announcement only after 20 ms of silence on the line.
constexpr qint64 announceQuietNs = 30'000'000;

} // namespace

SimulatedDevice::SimulatedDevice(const DeviceSimulator::Settings &settings, QObject *parent)
    : QObject(parent)
    , deviceSimulator(settings)
{
    pollTimer.setInterval(defaultPollIntervalMs);
    silenceTimer.setSingleShot(true);
    connect(&pollTimer, &QTimer::timeout, this, [this] {
        schedule(deviceSimulator.tick(), clock.nsecsElapsed());
        watchSilence();
    });
    connect(&silenceTimer, &QTimer::timeout, this, &SimulatedDevice::giveUp);
    connect(&line, &DeviceLine::received, this, &SimulatedDevice::receive);
    connect(&line, &DeviceLine::drained, this, &SimulatedDevice::requestWritten);
    connect(&line, &DeviceLine::failed, this, &SimulatedDevice::hangUp);
    connect(&line, &DeviceLine::hostOpened, this, [this] {
        hostOpenedNs = clock.nsecsElapsed();
        emit hostOpened();
    });
    connect(&line, &DeviceLine::hostClosed, this, &SimulatedDevice::hostClosed);
    connect(&releaseWakeUp, &PreciseWakeUp::due, this, &SimulatedDevice::releaseDue);
    connect(&quietWakeUp, &PreciseWakeUp::due, this, &SimulatedDevice::lineWentQuiet);
}

SimulatedDevice::~SimulatedDevice()
{
    closeLine();
}

bool SimulatedDevice::open()
{
    if (!line.openPty())
        return false;
    startClock();
    return true;
}

bool SimulatedDevice::openPort(const QString &path)
{
    if (!line.openPort(path))
        return false;
    startClock();
    return true;
}

void SimulatedDevice::startClock()
{
    // One clock for the whole run: line pacing and the figures span a replug.
    if (!clock.isValid())
        clock.start();
}

bool SimulatedDevice::openForHost()
{
    if (!open())
        return false;
    if (!line.watchHost() || !line.pointLink()) {
        closeLine();
        return false;
    }
    connect(this, &SimulatedDevice::hostOpened, this, &SimulatedDevice::start, Qt::SingleShotConnection);
    return true;
}

void SimulatedDevice::setBaudRate(int baud)
{
    toHost.setBaudRate(baud);
    fromHost.setBaudRate(baud);
}

void SimulatedDevice::setIdleTimeout(int milliseconds)
{
    silenceTimer.setInterval(milliseconds);
}

void SimulatedDevice::start()
{
    schedule(deviceSimulator.start(), clock.nsecsElapsed());
    watchSilence();
    pollTimer.start();
}

void SimulatedDevice::hangUp()
{
    if (!isOpen())
        return;
    closeLine();
    emit unplugged();
}

void SimulatedDevice::closeLine()
{
    line.close();
    pollTimer.stop();
    silenceTimer.stop();
    releaseWakeUp.cancel();
    scheduled.clear();
    quietWakeUp.cancel();
    quietAtNs = -1;
}

void SimulatedDevice::receive(const QByteArray &bytes)
{
    const qint64 now = clock.nsecsElapsed();
    // Bytes that start arriving after the earlier ones have arrived came
    // after a quiet line, however late the wake-up that says so.
    if (quietAtNs >= 0 && now >= quietAtNs)
        lineWentQuiet();
    const qint64 arrivedAt = fromHost.deliver(now, bytes.size());
    lastFromHostNs = arrivedAt;
    const bool paced = fromHost.isPaced();
    const DeviceSimulator::Output output = deviceSimulator.feed(bytes, !paced);
    if (output.events & DeviceSimulator::FrameReceived)
        turnaroundStats.frameSent(arrivedAt - fromHost.durationNs(DeviceSimulator::frameLength));
    schedule(output, arrivedAt);
    if (paced) {
        quietAtNs = arrivedAt;
        quietWakeUp.wakeAt(arrivedAt);
    }
    // The host spoke: its silence counts afresh.
    silenceTimer.stop();
    watchSilence();
}

// Runs while a device waits for the host; stopped while it waits for nothing
// (no host yet, between devices, unplugged, finished).
void SimulatedDevice::watchSilence()
{
    if (silenceTimer.interval() > 0 && deviceSimulator.awaitsHost()) {
        if (!silenceTimer.isActive())
            silenceTimer.start();
    } else {
        silenceTimer.stop();
    }
}

void SimulatedDevice::giveUp()
{
    emit hostSilent();
    schedule(deviceSimulator.giveUp(), clock.nsecsElapsed());
}

void SimulatedDevice::lineWentQuiet()
{
    const qint64 quietAt = std::exchange(quietAtNs, -1);
    if (quietAt >= 0)
        schedule(deviceSimulator.lineQuiet(), quietAt);
}

void SimulatedDevice::schedule(const DeviceSimulator::Output &output, qint64 readyAt)
{
    const int device = deviceSimulator.currentDeviceIndex();
    const bool speaks = !output.bytes.isEmpty();
    if (!toHost.isPaced()) {
        apply(output, device);
        if (speaks)
            toHostIdleNs = std::max(toHostIdleNs, clock.nsecsElapsed());
    } else {
        // Events wait with the bytes, so a device never ends before its last
        // reply (a CAN, say) is on the line.
        const qint64 due = toHost.deliver(readyAt, output.bytes.size());
        if (speaks)
            toHostIdleNs = due;
        queue({due, {output.bytes, {}, output.events}, device});
    }
    if (!output.announcement.isEmpty())
        scheduleAnnouncement(output.announcement, readyAt);
}

void SimulatedDevice::scheduleAnnouncement(const QByteArray &announcement, qint64 readyAt)
{
    const qint64 quietFrom = std::max({readyAt, toHostIdleNs, hostOpenedNs});
    qint64 due = quietFrom + announceQuietNs;
    if (toHost.isPaced())
        due = toHost.deliver(due, announcement.size());
    toHostIdleNs = due;
    queue({due, {announcement, {}, {}}, deviceSimulator.currentDeviceIndex()});
}

void SimulatedDevice::queue(const Release &release)
{
    scheduled.append(release);
    if (scheduled.size() == 1)
        releaseWakeUp.wakeAt(scheduled.first().dueNs);
}

void SimulatedDevice::releaseDue()
{
    while (!scheduled.isEmpty() && scheduled.first().dueNs <= clock.nsecsElapsed()) {
        const Release release = scheduled.takeFirst();
        apply(release.output, release.deviceIndex);
    }
    if (!scheduled.isEmpty())
        releaseWakeUp.wakeAt(scheduled.first().dueNs);
}

void SimulatedDevice::apply(const DeviceSimulator::Output &output, int deviceIndex)
{
    if (output.events & DeviceSimulator::FrameRequested)
        requestUnwritten = true;
    line.write(output.bytes);
    if (output.events & DeviceSimulator::DeviceFinished) {
        // The host's part ends with its last byte (the EOT, say), not with
        // the quiet the device waits out after it.
        turnaroundStats.transferEnded(lastFromHostNs);
        emit deviceFinished(deviceIndex);
    }
    if (output.events & DeviceSimulator::UnplugRequested)
        hangUp();
    if (output.events & DeviceSimulator::AllDone) {
        pollTimer.stop();
        emit allDone();
    }
}

void SimulatedDevice::requestWritten()
{
    if (std::exchange(requestUnwritten, false))
        turnaroundStats.requestWritten(clock.nsecsElapsed());
}
