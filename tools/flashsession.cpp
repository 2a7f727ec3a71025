#include "flashsession.h"

#include "firmwarefile.h"
#include "portinfo.h"
#include "seriallink.h"

#include <QCryptographicHash>
#include <QFileInfo>

#include <algorithm>
#include <unistd.h>
#include <utility>

namespace {

// How often a lost port is looked for: a replugged adapter is back well
// within a second, and a failed open costs next to nothing.
constexpr int ReopenIntervalMs = 100;

QString sha256Hex(QByteArrayView bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// The process's resident memory in KiB; -1 where the system does not say.
qint64 residentKiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    // "size resident shared ...", in pages.
    const QList<QByteArray> fields = statm.readAll().split(' ');
    bool ok = false;
    const qint64 pages = fields.value(1).toLongLong(&ok);
    return ok ? pages * sysconf(_SC_PAGESIZE) / 1024 : -1;
}

} // namespace

FlashSession::FlashSession(const FlashOptions &options, FlashConsole &console, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_console(console)
    , m_transfer(this)
{
    m_transfer.setLink(&m_port);
    m_silence.setSingleShot(true);
    // A coarse timer may fire up to 5 % early; a time-out must not.
    m_silence.setTimerType(Qt::PreciseTimer);
    m_silence.setInterval(options.timeoutSeconds * 1000);
    connect(&m_silence, &QTimer::timeout, this, &FlashSession::checkSilence);
    m_reopenRetry.setInterval(ReopenIntervalMs);
    connect(&m_reopenRetry, &QTimer::timeout, this, &FlashSession::reopenPort);
    connect(&m_transfer, &TransferProtocol::identified, this, &FlashSession::startDevice);
    connect(&m_transfer, &TransferProtocol::transferStarted, this, [this] {
        m_transferClock.start();
        m_console.detail(QStringLiteral("Transfer started"));
    });
    connect(&m_transfer, &TransferProtocol::progressChanged, this, [this] { m_progressChanged = true; });
    connect(&m_transfer, &TransferProtocol::downloadEnded, this, &FlashSession::endDevice);
    connect(&m_port, &QSerialPort::errorOccurred, this, &FlashSession::handlePortError);
    connect(&m_port, &QSerialPort::readyRead, this, &FlashSession::receive);
}

bool FlashSession::begin()
{
    QString problem = checkFirmware();
    if (!problem.isEmpty()) {
        m_console.problem(problem);
        m_exitCode = ExitBadInput;
        return false;
    }
    if (!m_options.logPath.isEmpty() && !(problem = m_log.open(m_options.logPath)).isEmpty()) {
        m_console.problem(problem);
        m_exitCode = ExitLogFailed;
        return false;
    }
    if (!openLine()) {
        m_exitCode = ExitPortFailed;
        return false;
    }
    if (m_options.timeoutSeconds > 0)
        m_silence.start();
    return true;
}

QString FlashSession::checkFirmware()
{
    const QString problem = openFirmware(m_firmware, m_options.firmwarePath, m_firmwareSize);
    // "Cannot read FILE: ..." names the file already.
    if (!problem.isEmpty() && !problem.startsWith(QLatin1String("Cannot ")))
        return QStringLiteral("Cannot send %1: %2").arg(m_options.firmwarePath, problem);
    if (!problem.isEmpty())
        return problem;
    m_console.detail(QStringLiteral("Firmware %1: %2 bytes, %3 blocks")
                         .arg(m_options.firmwarePath).arg(m_firmwareSize)
                         .arg(TransferProtocol::blockCount(m_firmwareSize)));
    return {};
}

bool FlashSession::openLine()
{
    if (m_options.portName.isEmpty()) {
        const QList<PortInfo> ports = systemPorts();
        if (ports.isEmpty()) {
            m_console.problem(QStringLiteral("No serial port found; name one with --port"));
            return false;
        }
        // Kept, so a lost port is looked for again under the same name.
        m_options.portName = ports.first().name;
    }
    const QString problem = openPort();
    if (!problem.isEmpty()) {
        m_console.problem(problem);
        return false;
    }
    return true;
}

QString FlashSession::openPort()
{
    const QString problem = SerialLink::open(m_port, m_options.portName);
    if (!problem.isEmpty())
        return problem;
    // Silence counts from the moment there is a line to speak on.
    m_sinceLineSpoke.start();
    m_console.info(QStringLiteral("Opened %1; waiting for a device").arg(m_options.portName));
    requestLowLatency();
    return {};
}

void FlashSession::reopenPort()
{
    // Every attempt fails the same way until the port is back, so only
    // success is worth a word.
    if (openPort().isEmpty())
        m_reopenRetry.stop();
}

void FlashSession::requestLowLatency()
{
    if (!m_options.lowLatency) {
        m_console.detail(QStringLiteral("Low latency: not requested"));
        return;
    }
    const QString refusal = SerialLink::requestLowLatency(m_port);
    if (refusal.isEmpty())
        m_console.detail(QStringLiteral("Low latency: on"));
    else
        m_console.detail(QStringLiteral("Low latency: refused (%1); port used as it is").arg(refusal));
}

void FlashSession::receive()
{
    // Only the moment is noted; the silence timer checks it when it fires
    // rather than being re-armed on the path of every reply.
    m_sinceLineSpoke.start();
    m_transfer.readFrom(m_port);
    // Hand the replies to the system now rather than on the next pass of the loop.
    if (m_port.isOpen())
        m_port.flush();
    // Drawn only once the frame is on its way: the terminal can wait, the device should not.
    if (std::exchange(m_progressChanged, false))
        showProgress();
}

void FlashSession::handlePortError(QSerialPort::SerialPortError error)
{
    // A vanished line keeps reporting errors until the port is closed, so it
    // is closed before anything is said.
    if (!SerialLink::isLost(error) || !m_port.isOpen())
        return;
    const QString text = SerialLink::lostText(m_options.portName) + u' ' + whereText();
    const bool deviceLost = deviceOnLine();
    m_port.close();
    m_transfer.linkLost();
    if (m_stopping)
        return; // the run was over already; the device just went away
    m_console.problem(text);
    if (deviceLost)
        recordDevice(QStringLiteral("Port lost"), deviceFigures());
    if (!m_options.reopen) {
        stop(ExitPortFailed);
        return;
    }
    // The lost device is not one of those asked for: it is flashed again
    // when it announces itself once more.
    m_console.info(QStringLiteral("Waiting for %1 to come back").arg(m_options.portName));
    m_reopenRetry.start();
}

bool FlashSession::deviceOnLine() const
{
    const TransferProtocol::State state = m_transfer.state();
    return state != TransferProtocol::State::Idle && state != TransferProtocol::State::ReadingIdentity;
}

void FlashSession::startDevice(const QByteArray &identity)
{
    m_identity = identity;
    m_transferClock.invalidate(); // this device's transfer has not begun
    m_console.info(TransferProtocol::identityText(identity));
    // The file is opened afresh for every device, so a rebuilt firmware is the one sent.
    const QString problem = checkFirmware();
    if (!problem.isEmpty()) {
        m_transfer.withdrawDownload();
        m_console.problem(problem);
        stop(ExitBadInput);
        return;
    }
    m_transfer.requestDownload(&m_firmware, m_firmwareSize);
}

quint64 FlashSession::firmwareBytesSent() const
{
    // The last block is padded; the padding is no part of the file.
    return std::min<quint64>(m_transfer.bytesSent(), m_firmwareSize);
}

void FlashSession::showProgress()
{
    m_console.progress(firmwareBytesSent(), m_firmwareSize, m_transferClock.nsecsElapsed() / 1e9);
}

void FlashSession::endDevice(TransferProtocol::Outcome outcome)
{
    // The closing EOT goes out before anything is printed or logged.
    m_port.flush();
    const DeviceFigures figures = deviceFigures();
    const QString result = TransferProtocol::outcomeText(outcome);
    m_console.result(result);
    recordDevice(result, figures);
    if (m_stopping)
        return; // the log could not be written
    if (++m_devicesServed == 1)
        reportMemory(QStringLiteral("after device 1"));
    m_anyCancelled |= outcome == TransferProtocol::Outcome::Canceled;
    if (outcome == TransferProtocol::Outcome::FirmwareUnreadable
        || outcome == TransferProtocol::Outcome::FirmwareChanged)
        stop(ExitBadInput);
    else if (m_options.deviceCount > 0 && m_devicesServed >= m_options.deviceCount)
        stop(m_anyCancelled ? ExitCancelled : ExitOk);
    else
        m_console.info(QStringLiteral("Waiting for the next device"));
}

void FlashSession::recordDevice(const QString &result, const DeviceFigures &figures)
{
    m_console.result(summaryLine(result, figures));
    logDevice(result, figures);
}

// A device the run leaves behind mid-way is recorded too: the log holds
// every device the run touched.
void FlashSession::recordDeviceOnLine(const QString &result)
{
    if (!m_stopping && deviceOnLine())
        recordDevice(result, deviceFigures());
}

FlashSession::DeviceFigures FlashSession::deviceFigures() const
{
    if (!m_transferClock.isValid())
        return {};
    return {firmwareBytesSent(), m_transfer.blocksSent(), m_transfer.naksAnswered(),
            m_transferClock.nsecsElapsed() / 1e9};
}

QString FlashSession::summaryLine(const QString &result, const DeviceFigures &figures) const
{
    return QStringLiteral("Summary: UID %1, V%2, %3 bytes, %4 blocks, %5 NAKs, %6 s, %7")
        .arg(TransferProtocol::uidHex(m_identity), TransferProtocol::versionText(m_identity))
        .arg(figures.bytes)
        .arg(figures.blocks)
        .arg(figures.naks)
        .arg(figures.seconds, 0, 'f', 3)
        .arg(result);
}

void FlashSession::logDevice(const QString &result, const DeviceFigures &figures)
{
    if (!m_log.isOpen())
        return;
    FlashRecord record;
    record.port = m_options.portName; // as the user named it, or as listed
    record.uid = TransferProtocol::uidHex(m_identity);
    record.version = TransferProtocol::versionText(m_identity);
    record.fileName = QFileInfo(m_options.firmwarePath).fileName();
    record.sentSha256 = sha256Hex(m_transfer.imageSent()); // what went out, not the file now
    record.bytes = figures.bytes;
    record.blocks = figures.blocks;
    record.naks = figures.naks;
    record.seconds = figures.seconds;
    record.result = result;
    const QString problem = m_log.append(record);
    if (!problem.isEmpty()) {
        // A production record that cannot be kept ends the run before the next device.
        m_console.problem(problem);
        stop(ExitLogFailed);
    }
}

void FlashSession::checkSilence()
{
    const qint64 limitMs = m_options.timeoutSeconds * 1000;
    const qint64 silentMs = m_sinceLineSpoke.elapsed();
    if (silentMs < limitMs) {
        m_silence.start(int(limitMs - silentMs));
        return;
    }
    // Frames carry no block number, so a block resent unasked could be
    // written twice: on silence the run stops instead.
    m_console.problem(QStringLiteral("Timed out: the line was silent for %1 s %2")
                          .arg(m_options.timeoutSeconds).arg(whereText()));
    recordDeviceOnLine(QStringLiteral("Timed out"));
    stop(ExitTimedOut);
}

void FlashSession::interrupt(const QString &signalName)
{
    m_console.problem(QStringLiteral("Stopped by %1 %2").arg(signalName, whereText()));
    recordDeviceOnLine(QStringLiteral("Interrupted"));
    stop(ExitInterrupted);
}

void FlashSession::stop(int exitCode)
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_exitCode = exitCode;
    m_silence.stop();
    m_reopenRetry.stop();
    // Whatever is being handled now finishes first: the last EOT is flushed
    // by the reception that sent it.
    QMetaObject::invokeMethod(this, &FlashSession::closeLine, Qt::QueuedConnection);
}

void FlashSession::closeLine()
{
    if (m_port.isOpen()) {
        m_port.flush();
        m_port.close();
    }
    reportMemory(QStringLiteral("at the end"));
    emit finished(m_exitCode);
}

void FlashSession::reportMemory(const QString &when)
{
    const qint64 kib = residentKiB();
    if (kib >= 0)
        m_console.detail(QStringLiteral("Memory: %1 KiB resident %2").arg(kib).arg(when));
}

QString FlashSession::whereText() const
{
    if (m_reopenRetry.isActive())
        return QStringLiteral("while waiting for %1 to come back").arg(m_options.portName);
    switch (m_transfer.state()) {
    case TransferProtocol::State::Idle:
    case TransferProtocol::State::ReadingIdentity:
        return QStringLiteral("while waiting for device %1").arg(m_devicesServed + 1);
    case TransferProtocol::State::AwaitingStart:
    case TransferProtocol::State::StartPending:
        return QStringLiteral("after UID %1 announced itself, before its transfer began")
            .arg(TransferProtocol::uidHex(m_identity));
    case TransferProtocol::State::Transferring:
        return QStringLiteral("during the transfer to UID %1, after block %2 of %3")
            .arg(TransferProtocol::uidHex(m_identity))
            .arg(m_transfer.blocksSent())
            .arg(TransferProtocol::blockCount(m_firmwareSize));
    }
    return {};
}
