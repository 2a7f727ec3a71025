#include "flashport.h"

#include "commandline.h"
#include "deviceidentity.h"
#include "flashfirmware.h"

#include <algorithm>
#include <utility>

namespace {

// How often a lost port is looked for: a replugged adapter is back well
// within a second, and a failed open costs next to nothing.
constexpr int reopenIntervalMs = 100;

bool deviceOnLine(TransferProtocol::State state)
{
    return state != TransferProtocol::State::Idle && state != TransferProtocol::State::ReadingIdentity;
}

} // namespace

FlashPort::FlashPort(const PortLabel &label, const FlashPortOptions &options, const FlashFirmware &firmware,
                     FlashReporter &reporter, QObject *parent)
    : QObject(parent)
    , label(label)
    , options(options)
    , firmware(firmware)
    , reporter(reporter)
{
    figures.port = label;
    reopenRetry.setInterval(reopenIntervalMs);
    // Every attempt fails the same way until the port is back, so open() speaks only of success then.
    connect(&reopenRetry, &QTimer::timeout, this, &FlashPort::open);
}

void FlashPort::makeLine()
{
    line = std::make_unique<Line>();
    SerialTransfer &transfer = line->transfer;
    transfer.setLowLatencyWanted(options.lowLatency);
    // A device that refuses a block again and again would otherwise keep the
    // line busy for ever, out of --timeout's reach.
    transfer.setNakLimitOn(true);
    connect(&transfer, &SerialTransfer::silent, this, &FlashPort::timedOut);
    connect(&transfer, &SerialTransfer::lost, this, &FlashPort::portLost);
    connect(&transfer, &SerialTransfer::identified, this, &FlashPort::startDevice);
    connect(&transfer, &SerialTransfer::transferStarted, this,
            [this] { reporter.detail(name(), QStringLiteral("Transfer started")); });
    connect(&transfer, &SerialTransfer::progressChanged, this, &FlashPort::showProgress);
    connect(&transfer, &SerialTransfer::downloadEnded, this, &FlashPort::endDevice);
}

// A port closed for good, or until it is listed again, keeps its summary
// and no line. Not at once: this may run inside the line's own signal.
void FlashPort::releaseLineLater()
{
    image = {}; // an image the firmware file has since replaced goes too
    QMetaObject::invokeMethod(this, [this] {
        if (!isOpen() && !reopenRetry.isActive())
            line.reset();
    }, Qt::QueuedConnection);
}

TransferProtocol::State FlashPort::state() const
{
    return line ? line->transfer.state() : TransferProtocol::State::Idle;
}

DeviceFigures FlashPort::deviceFigures() const
{
    return line ? line->transfer.figures() : DeviceFigures{};
}

bool FlashPort::open()
{
    if (!line)
        makeLine();
    SerialTransfer &transfer = line->transfer;
    transfer.setSilenceLimit(silenceLimit()); // before the open, which starts the count
    const QString problem = transfer.open(name());
    if (!problem.isEmpty()) {
        if (!reopenRetry.isActive() && !away) {
            reporter.problem(name(), problem);
            failedToOpen = true;
            finish(ExitPortFailed, QStringLiteral("not opened: ") + line->port.errorString());
        }
        return false;
    }
    // A port whose open failed is served again once it is back.
    if (std::exchange(failedToOpen, false))
        done = false;
    reopenRetry.stop();
    away = false;
    reporter.opened(name());
    const QString refusal = transfer.latencyRefusal();
    reporter.detail(name(), refusal.isEmpty() ? QStringLiteral("Low latency: on")
                                              : QStringLiteral("Low latency: off (%1)").arg(refusal));
    emit lineChanged();
    return true;
}

void FlashPort::vanished()
{
    if (line)
        line->transfer.dropLine();
}

void FlashPort::portLost(const QString &text, TransferProtocol::State stateWhenLost)
{
    emit lineChanged();
    if (done)
        return; // the port's work was over already; the device just went away
    const bool deviceLost = deviceOnLine(stateWhenLost);
    // An adapter unplugged between devices is hot-plug at work, not a problem.
    if (options.hotPlug && !deviceLost)
        reporter.info(name(), text);
    else
        reporter.problem(name(), text + u' ' + whereText(stateWhenLost));
    reporter.lost(name());
    if (deviceLost) {
        recordDevice(TransferResult::PortLost);
        code = std::max<int>(code, ExitPortFailed);
    }
    // Winding down, the port's last transfer has ended with it: nothing is
    // waited for, whatever comes back.
    if (lastTransfer) {
        finish(code, QStringLiteral("lost"));
        return;
    }
    if (options.hotPlug) {
        away = true;
        line->transfer.setSilenceLimit(0); // a port that is not there cannot be silent; the run watches for none open
        releaseLineLater();
        return;
    }
    if (!options.reopen) {
        finish(ExitPortFailed, QStringLiteral("lost"));
        return;
    }
    // The lost device is not one of those asked for: it is flashed again
    // when it announces itself once more.
    reporter.info(name(), QStringLiteral("Waiting for %1 to come back").arg(name()));
    reopenRetry.start();
}

void FlashPort::startDevice(const QByteArray &identity)
{
    reporter.identified(name(), identity);
    line->transfer.setSilenceLimit(silenceLimit());
    image = firmware.image();
    line->transfer.requestDownload([bytes = image.bytes](QByteArray &sent) {
        sent = bytes;
        return TransferResult::Ok;
    });
}

// Drawn once the frame is on its way: the terminal can wait, the device should not.
void FlashPort::showProgress()
{
    const DeviceFigures device = line->transfer.figures();
    reporter.progress(name(), device.sentBytes, device.imageBytes, device.seconds);
}

void FlashPort::endDevice(TransferResult result)
{
    recordDevice(result);
    if (result != TransferResult::Ok)
        code = std::max<int>(code, ExitCanceled);
    deviceDone();
}

// The device is off the port's hands, whatever became of it: the next one
// is waited for, unless the port has done what it was asked.
void FlashPort::deviceDone()
{
    line->transfer.setSilenceLimit(silenceLimit());
    ++devicesServed;
    if (lastTransfer || (options.deviceCount > 0 && devicesServed >= options.deviceCount))
        finish(code, lastTransfer ? stoppedText() : QStringLiteral("served %1").arg(devicesServed));
    else
        reporter.info(name(), QStringLiteral("Waiting for the next device"));
}

void FlashPort::recordDevice(TransferResult result)
{
    DeviceRecord record{deviceFigures(), label, result, image.sha256};
    record.imageBytes = quint64(image.bytes.size()); // also for a transfer that never started
    ++figures.results[size_t(result)];
    figures.ackedBytes += record.ackedBytes;
    figures.seconds += record.seconds;
    reporter.deviceEnded(record);
    emit deviceEnded(record);
}

// While a device is on the line, the nearer of --device-timeout and --timeout.
int FlashPort::silenceLimit() const
{
    const bool deviceLimit = options.deviceTimeoutMs > 0 && deviceOnLine(state());
    if (!deviceLimit)
        return options.timeoutMs;
    return options.timeoutMs > 0 ? std::min(options.timeoutMs, options.deviceTimeoutMs) : options.deviceTimeoutMs;
}

bool FlashPort::deviceLimitReached() const
{
    return options.deviceTimeoutMs > 0 && deviceOnLine(state())
        && (options.timeoutMs == 0 || options.deviceTimeoutMs <= options.timeoutMs);
}

// A board that went silent is given up; the port stays open for the next.
void FlashPort::deviceTimedOut()
{
    reporter.problem(name(), QStringLiteral("Timed out: the device was silent for %1 s %2")
                                 .arg(CommandLine::secondsText(options.deviceTimeoutMs), whereText()));
    recordDevice(TransferResult::TimedOut);
    code = std::max<int>(code, ExitTimedOut);
    line->transfer.forgetDevice();
    deviceDone();
}

void FlashPort::timedOut()
{
    if (deviceLimitReached()) {
        deviceTimedOut();
        return;
    }
    // Frames carry no block number, so a block resent unasked could be
    // written twice: on silence the port stops instead.
    reporter.problem(name(), QStringLiteral("Timed out: silent for %1 s %2")
                                 .arg(CommandLine::secondsText(options.timeoutMs), whereText()));
    leaveDevice(TransferResult::TimedOut);
    finish(ExitTimedOut, QStringLiteral("timed out"));
}

void FlashPort::stop(TransferResult result)
{
    leaveDevice(result);
    finish(code, stoppedText());
}

void FlashPort::stopAfterTransfer()
{
    if (state() == TransferProtocol::State::Transferring)
        lastTransfer = true;
    else
        stop(TransferResult::Interrupted);
}

// A device the port leaves behind mid-way is recorded too: the log holds
// every device the run touched.
void FlashPort::leaveDevice(TransferResult result)
{
    if (!done && deviceOnLine(state()))
        recordDevice(result);
}

// The port closes at once: a device that speaks again, or a next one, finds
// nobody listening rather than a host that has stopped counting.
void FlashPort::finish(int exitCode, const QString &ending)
{
    code = std::max(code, exitCode);
    if (done)
        return;
    done = true;
    figures.ended = ending;
    reopenRetry.stop();
    if (isOpen()) {
        line->transfer.close();
        emit lineChanged();
    }
    releaseLineLater();
    emit finished();
}

QString FlashPort::stoppedText() const
{
    return QStringLiteral("stopped, %1 served").arg(devicesServed);
}

QString FlashPort::whereText(TransferProtocol::State state) const
{
    if (reopenRetry.isActive())
        return QStringLiteral("while waiting for %1 to come back").arg(name());
    const DeviceFigures device = deviceFigures();
    const QString uid = DeviceIdentity(device.identity).uidHex();
    switch (state) {
    case TransferProtocol::State::Idle:
    case TransferProtocol::State::ReadingIdentity:
        return QStringLiteral("while waiting for device %1").arg(devicesServed + 1);
    case TransferProtocol::State::AwaitingStart:
    case TransferProtocol::State::StartPending:
        return QStringLiteral("after UID %1 announced itself, before its transfer began").arg(uid);
    case TransferProtocol::State::Transferring:
        return QStringLiteral("during the transfer to UID %1, after block %2 of %3")
            .arg(uid)
            .arg(TransferProtocol::blockCount(quint32(device.sentBytes)))
            .arg(TransferProtocol::blockCount(quint32(device.imageBytes)));
    }
    return {};
}
