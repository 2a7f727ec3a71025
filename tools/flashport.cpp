#include "flashport.h"

#include "commandline.h"
#include "flashfirmware.h"

#include <algorithm>
#include <utility>

namespace {

// How often a lost port is looked for: a replugged adapter is back well
// within a second, and a failed open costs next to nothing.
constexpr int ReopenIntervalMs = 100;

bool deviceOnLine(TransferProtocol::State state)
{
    return state != TransferProtocol::State::Idle && state != TransferProtocol::State::ReadingIdentity;
}

DeviceRecord::Result resultOf(TransferProtocol::Outcome outcome)
{
    switch (outcome) {
    case TransferProtocol::Outcome::Completed: return DeviceRecord::Result::Ok;
    case TransferProtocol::Outcome::Canceled: return DeviceRecord::Result::Canceled;
    case TransferProtocol::Outcome::NakLimit: return DeviceRecord::Result::NakLimit;
    // An image held in memory is never unreadable nor changed; were it
    // either, the device did not get it.
    case TransferProtocol::Outcome::FirmwareUnreadable:
    case TransferProtocol::Outcome::FirmwareChanged: break;
    }
    return DeviceRecord::Result::Interrupted;
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
    transfer.setLowLatencyWanted(options.lowLatency);
    // A device that refuses a block again and again would otherwise keep the
    // line busy for ever, out of --timeout's reach.
    transfer.protocol().setNakLimitOn(true);
    silence.setSingleShot(true);
    // A coarse timer may fire up to 5 % early; a time-out must not.
    silence.setTimerType(Qt::PreciseTimer);
    silence.setInterval(options.timeoutMs);
    connect(&silence, &QTimer::timeout, this, &FlashPort::checkSilence);
    reopenRetry.setInterval(ReopenIntervalMs);
    // Every attempt fails the same way until the port is back, so open() speaks only of success then.
    connect(&reopenRetry, &QTimer::timeout, this, &FlashPort::open);
    connect(&port, &QSerialPort::readyRead, this, &FlashPort::receive);
    connect(&transfer, &SerialTransfer::lost, this, &FlashPort::portLost);
    const TransferProtocol &protocol = transfer.protocol();
    connect(&protocol, &TransferProtocol::identified, this, &FlashPort::startDevice);
    connect(&protocol, &TransferProtocol::transferStarted, this, [this] {
        transferClock.start();
        this->reporter.detail(name(), QStringLiteral("Transfer started"));
    });
    connect(&protocol, &TransferProtocol::progressChanged, this, [this] { progressChanged = true; });
    connect(&protocol, &TransferProtocol::downloadEnded, this, &FlashPort::endDevice);
}

bool FlashPort::open()
{
    const QString problem = transfer.open(name());
    if (!problem.isEmpty()) {
        if (!reopenRetry.isActive() && !away) {
            reporter.problem(name(), problem);
            failedToOpen = true;
            finish(ExitPortFailed);
        }
        return false;
    }
    // A port whose open failed is served again once it is back.
    if (std::exchange(failedToOpen, false))
        done = false;
    reopenRetry.stop();
    away = false;
    // Silence counts from the moment there is a line to speak on.
    sinceLineSpoke.start();
    if (options.timeoutMs > 0)
        silence.start();
    reporter.opened(name());
    const QString refusal = transfer.latencyRefusal();
    reporter.detail(name(), refusal.isEmpty() ? QStringLiteral("Low latency: on")
                                              : QStringLiteral("Low latency: off (%1)").arg(refusal));
    emit lineChanged();
    return true;
}

void FlashPort::vanished()
{
    transfer.dropLine();
}

void FlashPort::receive()
{
    // Only the moment is noted; the silence timer checks it when it fires
    // rather than being re-armed on the path of every reply.
    sinceLineSpoke.start();
    transfer.receive();
    // Drawn only once the frame is on its way: the terminal can wait, the device should not.
    if (std::exchange(progressChanged, false))
        showProgress();
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
    if (deviceLost)
        recordDevice(DeviceRecord::Result::PortLost);
    if (options.hotPlug) {
        if (deviceLost)
            code = std::max<int>(code, ExitPortFailed);
        away = true;
        silence.stop(); // a port that is not there cannot be silent; the run watches for none open
        return;
    }
    if (!options.reopen) {
        finish(ExitPortFailed);
        return;
    }
    // The lost device is not one of those asked for: it is flashed again
    // when it announces itself once more.
    reporter.info(name(), QStringLiteral("Waiting for %1 to come back").arg(name()));
    reopenRetry.start();
}

void FlashPort::startDevice(const QByteArray &newIdentity)
{
    identity = newIdentity;
    transferClock.invalidate(); // this device's transfer has not begun
    deviceImage = firmware.image();
    reporter.identified(name(), identity);
    transfer.requestDownload(deviceImage.bytes);
}

void FlashPort::showProgress()
{
    reporter.progress(name(), quint64(transfer.protocol().imageSent().size()), imageSize(),
                      transferClock.nsecsElapsed() / 1e9);
}

void FlashPort::endDevice(TransferProtocol::Outcome outcome)
{
    // The closing EOT goes out before anything is printed or logged.
    port.flush();
    const DeviceRecord::Result result = resultOf(outcome);
    recordDevice(result);
    if (result != DeviceRecord::Result::Ok)
        code = std::max<int>(code, ExitCancelled);
    ++devicesServed;
    if (lastTransfer || (options.deviceCount > 0 && devicesServed >= options.deviceCount))
        finish(code);
    else
        reporter.info(name(), QStringLiteral("Waiting for the next device"));
}

void FlashPort::recordDevice(DeviceRecord::Result result)
{
    DeviceRecord record;
    record.port = label;
    record.identity = identity;
    record.result = result;
    record.imageBytes = imageSize();
    record.imageSha256 = deviceImage.sha256;
    if (transferClock.isValid()) {
        const TransferProtocol &protocol = transfer.protocol();
        record.ackedBytes = protocol.bytesAcknowledged();
        record.ackedBlocks = protocol.blocksAcknowledged();
        record.naks = protocol.naksAnswered();
        record.seconds = transferClock.nsecsElapsed() / 1e9;
    }
    ++figures.results[size_t(result)];
    figures.ackedBytes += record.ackedBytes;
    figures.seconds += record.seconds;
    reporter.deviceEnded(record);
    emit deviceEnded(record);
}

void FlashPort::checkSilence()
{
    const qint64 limitMs = options.timeoutMs;
    const qint64 silentMs = sinceLineSpoke.elapsed();
    if (silentMs < limitMs) {
        silence.start(int(limitMs - silentMs));
        return;
    }
    // Frames carry no block number, so a block resent unasked could be
    // written twice: on silence the port stops instead.
    reporter.problem(name(), QStringLiteral("Timed out: the line was silent for %1 s %2")
                                 .arg(CommandLine::secondsText(options.timeoutMs), whereText()));
    leaveDevice(DeviceRecord::Result::TimedOut);
    finish(ExitTimedOut);
}

void FlashPort::stop(DeviceRecord::Result result)
{
    leaveDevice(result);
    finish(code);
}

void FlashPort::stopAfterTransfer()
{
    if (transfer.protocol().state() == TransferProtocol::State::Transferring)
        lastTransfer = true;
    else
        stop(DeviceRecord::Result::Interrupted);
}

// A device the port leaves behind mid-way is recorded too: the log holds
// every device the run touched.
void FlashPort::leaveDevice(DeviceRecord::Result result)
{
    if (!done && deviceOnLine(transfer.protocol().state()))
        recordDevice(result);
}

// The port closes at once: a device that speaks again, or a next one, finds
// nobody listening rather than a host that has stopped counting.
void FlashPort::finish(int exitCode)
{
    code = std::max(code, exitCode);
    if (done)
        return;
    done = true;
    silence.stop();
    reopenRetry.stop();
    if (port.isOpen()) {
        transfer.close();
        emit lineChanged();
    }
    emit finished();
}

QString FlashPort::whereText(TransferProtocol::State state) const
{
    if (reopenRetry.isActive())
        return QStringLiteral("while waiting for %1 to come back").arg(name());
    switch (state) {
    case TransferProtocol::State::Idle:
    case TransferProtocol::State::ReadingIdentity:
        return QStringLiteral("while waiting for device %1").arg(devicesServed + 1);
    case TransferProtocol::State::AwaitingStart:
    case TransferProtocol::State::StartPending:
        return QStringLiteral("after UID %1 announced itself, before its transfer began")
            .arg(TransferProtocol::uidHex(identity));
    case TransferProtocol::State::Transferring:
        return QStringLiteral("during the transfer to UID %1, after block %2 of %3")
            .arg(TransferProtocol::uidHex(identity))
            .arg(transfer.protocol().blocksSent())
            .arg(TransferProtocol::blockCount(imageSize()));
    }
    return {};
}
