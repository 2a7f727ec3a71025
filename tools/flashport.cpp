#include "flashport.h"

#include <QCryptographicHash>

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
    case TransferProtocol::Outcome::FirmwareUnreadable: return DeviceRecord::Result::ReadError;
    case TransferProtocol::Outcome::FirmwareChanged: return DeviceRecord::Result::FirmwareChanged;
    }
    return DeviceRecord::Result::ReadError;
}

} // namespace

QString cannotSendText(const QString &firmwarePath, const QString &problem)
{
    if (problem.startsWith(QLatin1String("Cannot ")))
        return problem;
    return QStringLiteral("Cannot send %1: %2").arg(firmwarePath, problem);
}

FlashPort::FlashPort(const QString &name, const FlashPortOptions &options, FlashReporter &reporter,
                     QObject *parent)
    : QObject(parent)
    , portName(name)
    , options(options)
    , reporter(reporter)
{
    figures.port = name;
    transfer.setLowLatencyWanted(options.lowLatency);
    silence.setSingleShot(true);
    // A coarse timer may fire up to 5 % early; a time-out must not.
    silence.setTimerType(Qt::PreciseTimer);
    silence.setInterval(options.timeoutSeconds * 1000);
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
        this->reporter.detail(portName, QStringLiteral("Transfer started"));
    });
    connect(&protocol, &TransferProtocol::progressChanged, this, [this] { progressChanged = true; });
    connect(&protocol, &TransferProtocol::downloadEnded, this, &FlashPort::endDevice);
}

bool FlashPort::open()
{
    const QString problem = transfer.open(portName);
    if (!problem.isEmpty()) {
        if (!reopenRetry.isActive()) {
            reporter.problem(portName, problem);
            finish(ExitPortFailed);
        }
        return false;
    }
    reopenRetry.stop();
    // Silence counts from the moment there is a line to speak on.
    sinceLineSpoke.start();
    if (options.timeoutSeconds > 0)
        silence.start();
    reporter.opened(portName);
    const QString refusal = transfer.latencyRefusal();
    reporter.detail(portName, refusal.isEmpty() ? QStringLiteral("Low latency: on")
                                                : QStringLiteral("Low latency: off (%1)").arg(refusal));
    return true;
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
    if (done)
        return; // the port's work was over already; the device just went away
    reporter.problem(portName, text + u' ' + whereText(stateWhenLost));
    reporter.lost(portName);
    if (deviceOnLine(stateWhenLost))
        recordDevice(DeviceRecord::Result::PortLost);
    if (!options.reopen) {
        finish(ExitPortFailed);
        return;
    }
    // The lost device is not one of those asked for: it is flashed again
    // when it announces itself once more.
    reporter.info(portName, QStringLiteral("Waiting for %1 to come back").arg(portName));
    reopenRetry.start();
}

void FlashPort::startDevice(const QByteArray &newIdentity)
{
    identity = newIdentity;
    transferClock.invalidate(); // this device's transfer has not begun
    reporter.identified(portName, identity);
    // The file is opened afresh for every device, so a rebuilt firmware is the one sent.
    const QString problem = transfer.requestDownload(options.firmwarePath);
    if (problem.isEmpty()) {
        reporter.detail(portName, QStringLiteral("Firmware %1: %2 bytes, %3 blocks")
                                      .arg(options.firmwarePath).arg(firmwareSize)
                                      .arg(TransferProtocol::blockCount(firmwareSize)));
        return;
    }
    reporter.problem(portName, cannotSendText(options.firmwarePath, problem));
    finish(ExitBadInput);
    emit firmwareFailed();
}

quint64 FlashPort::firmwareBytesSent() const
{
    return transfer.protocol().imageSent().size();
}

void FlashPort::showProgress()
{
    reporter.progress(portName, firmwareBytesSent(), firmwareSize, transferClock.nsecsElapsed() / 1e9);
}

void FlashPort::endDevice(TransferProtocol::Outcome outcome)
{
    // The closing EOT goes out before anything is printed or logged.
    port.flush();
    const DeviceRecord::Result result = resultOf(outcome);
    recordDevice(result);
    if (result == DeviceRecord::Result::ReadError || result == DeviceRecord::Result::FirmwareChanged) {
        finish(ExitBadInput);
        emit firmwareFailed();
        return;
    }
    if (result == DeviceRecord::Result::Canceled)
        code = std::max<int>(code, ExitCancelled);
    ++devicesServed;
    if (options.deviceCount > 0 && devicesServed >= options.deviceCount)
        finish(code);
    else if (!done)
        reporter.info(portName, QStringLiteral("Waiting for the next device"));
}

void FlashPort::recordDevice(DeviceRecord::Result result)
{
    DeviceRecord record;
    record.port = portName;
    record.identity = identity;
    record.result = result;
    if (transferClock.isValid()) {
        const QByteArrayView sent = transfer.protocol().imageSent();
        record.sha256 = QString::fromLatin1(QCryptographicHash::hash(sent, QCryptographicHash::Sha256).toHex());
        record.bytes = quint64(sent.size());
        record.blocks = transfer.protocol().blocksSent();
        record.naks = transfer.protocol().naksAnswered();
        record.seconds = transferClock.nsecsElapsed() / 1e9;
    }
    figures.ok += result == DeviceRecord::Result::Ok;
    figures.canceled += result == DeviceRecord::Result::Canceled;
    figures.lost += result == DeviceRecord::Result::PortLost;
    figures.bytes += record.bytes;
    figures.seconds += record.seconds;
    reporter.deviceEnded(record);
    emit deviceEnded(record);
}

void FlashPort::checkSilence()
{
    const qint64 limitMs = options.timeoutSeconds * 1000;
    const qint64 silentMs = sinceLineSpoke.elapsed();
    if (silentMs < limitMs) {
        silence.start(int(limitMs - silentMs));
        return;
    }
    // Frames carry no block number, so a block resent unasked could be
    // written twice: on silence the port stops instead.
    reporter.problem(portName, QStringLiteral("Timed out: the line was silent for %1 s %2")
                                   .arg(options.timeoutSeconds).arg(whereText()));
    leaveDevice(DeviceRecord::Result::TimedOut);
    finish(ExitTimedOut);
}

void FlashPort::stop(DeviceRecord::Result result)
{
    leaveDevice(result);
    finish(code);
}

// A device the port leaves behind mid-way is recorded too: the log holds
// every device the run touched.
void FlashPort::leaveDevice(DeviceRecord::Result result)
{
    if (!done && deviceOnLine(transfer.protocol().state()))
        recordDevice(result);
}

void FlashPort::finish(int exitCode)
{
    if (done)
        return;
    done = true;
    code = std::max(code, exitCode);
    silence.stop();
    reopenRetry.stop();
    emit finished();
}

QString FlashPort::whereText(TransferProtocol::State state) const
{
    if (reopenRetry.isActive())
        return QStringLiteral("while waiting for %1 to come back").arg(portName);
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
            .arg(TransferProtocol::blockCount(firmwareSize));
    }
    return {};
}
