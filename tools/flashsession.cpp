#include "flashsession.h"

#include "firmwarefile.h"
#include "portinfo.h"
#include "seriallink.h"

#include <QCryptographicHash>
#include <QFileInfo>

#include <algorithm>
#include <utility>

namespace {

constexpr int MinorVersionOffset = 10;
constexpr int MajorVersionOffset = 11;
constexpr int UidLength = 8;

QString uidHex(const QByteArray &identity)
{
    return QString::fromLatin1(identity.left(UidLength).toHex().toUpper());
}

QString versionText(const QByteArray &identity)
{
    return QStringLiteral("%1.%2").arg(quint8(identity.at(MajorVersionOffset)))
        .arg(quint8(identity.at(MinorVersionOffset)));
}

QString sha256Hex(QFile &file)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    file.seek(0);
    hash.addData(&file);
    return QString::fromLatin1(hash.result().toHex());
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
    if (problem.isEmpty() && !m_options.logPath.isEmpty())
        problem = m_log.open(m_options.logPath);
    if (!problem.isEmpty()) {
        m_console.problem(problem);
        m_exitCode = ExitBadInput;
        return false;
    }
    if (!openLine()) {
        m_exitCode = ExitPortFailed;
        return false;
    }
    m_sinceLineSpoke.start();
    if (m_options.timeoutSeconds > 0)
        m_silence.start();
    return true;
}

QString FlashSession::checkFirmware()
{
    const QString problem = openFirmware(m_firmware, m_options.firmwarePath, m_firmwareSize);
    if (!problem.isEmpty())
        return QStringLiteral("Cannot send %1: %2").arg(m_options.firmwarePath, problem);
    m_console.detail(QStringLiteral("Firmware %1: %2 bytes, %3 blocks")
                         .arg(m_options.firmwarePath).arg(m_firmwareSize)
                         .arg((quint64(m_firmwareSize) + TransferProtocol::blockSize - 1)
                              / TransferProtocol::blockSize));
    return {};
}

bool FlashSession::openLine()
{
    QString portName = m_options.portName;
    if (portName.isEmpty()) {
        const QList<PortInfo> ports = systemPorts();
        if (ports.isEmpty()) {
            m_console.problem(QStringLiteral("No serial port found; name one with --port"));
            return false;
        }
        portName = ports.first().name;
    }
    const QString problem = SerialLink::open(m_port, portName);
    if (!problem.isEmpty()) {
        m_console.problem(problem);
        return false;
    }
    m_console.info(QStringLiteral("Opened %1; waiting for a device").arg(portName));
    requestLowLatency();
    return true;
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
    const QString text = SerialLink::lostText(m_port) + u' ' + whereText();
    m_port.close();
    m_transfer.linkLost();
    if (m_stopping)
        return; // the run was over already; the device just went away
    m_console.problem(text);
    stop(ExitPortFailed);
}

void FlashSession::startDevice(const QByteArray &identity)
{
    m_identity = identity;
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
    const double seconds = m_transferClock.nsecsElapsed() / 1e9;
    const QString result = TransferProtocol::outcomeText(outcome);
    m_console.result(result);
    m_console.result(summaryLine(result, seconds));
    logDevice(result, seconds);
    ++m_devicesServed;
    m_anyCancelled |= outcome == TransferProtocol::Outcome::Canceled;
    if (outcome == TransferProtocol::Outcome::FirmwareUnreadable)
        stop(ExitBadInput);
    else if (m_options.deviceCount > 0 && m_devicesServed >= m_options.deviceCount)
        stop(m_anyCancelled ? ExitCancelled : ExitOk);
    else
        m_console.info(QStringLiteral("Waiting for the next device"));
}

QString FlashSession::summaryLine(const QString &result, double seconds) const
{
    return QStringLiteral("Summary: UID %1, V%2, %3 bytes, %4 blocks, %5 NAKs, %6 s, %7")
        .arg(uidHex(m_identity), versionText(m_identity))
        .arg(firmwareBytesSent())
        .arg(m_transfer.blocksSent())
        .arg(m_transfer.naksAnswered())
        .arg(seconds, 0, 'f', 3)
        .arg(result);
}

void FlashSession::logDevice(const QString &result, double seconds)
{
    if (!m_log.isOpen())
        return;
    FlashRecord record;
    record.port = m_port.portName();
    record.uid = uidHex(m_identity);
    record.version = versionText(m_identity);
    record.fileName = QFileInfo(m_options.firmwarePath).fileName();
    record.fileSha256 = sha256Hex(m_firmware);
    record.bytes = firmwareBytesSent();
    record.blocks = m_transfer.blocksSent();
    record.naks = m_transfer.naksAnswered();
    record.seconds = seconds;
    record.result = result;
    const QString problem = m_log.append(record);
    if (!problem.isEmpty())
        m_console.problem(problem);
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
    stop(ExitTimedOut);
}

void FlashSession::interrupt(const QString &signalName)
{
    m_console.problem(QStringLiteral("Stopped by %1 %2").arg(signalName, whereText()));
    stop(ExitInterrupted);
}

void FlashSession::stop(int exitCode)
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_exitCode = exitCode;
    m_silence.stop();
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
    emit finished(m_exitCode);
}

QString FlashSession::whereText() const
{
    const int totalBlocks = int((quint64(m_firmwareSize) + TransferProtocol::blockSize - 1)
                                / TransferProtocol::blockSize);
    switch (m_transfer.state()) {
    case TransferProtocol::State::Idle:
    case TransferProtocol::State::ReadingIdentity:
        return QStringLiteral("while waiting for device %1").arg(m_devicesServed + 1);
    case TransferProtocol::State::AwaitingStart:
    case TransferProtocol::State::StartPending:
        return QStringLiteral("after UID %1 announced itself, before its transfer began")
            .arg(uidHex(m_identity));
    case TransferProtocol::State::Transferring:
        return QStringLiteral("during the transfer to UID %1, after block %2 of %3")
            .arg(uidHex(m_identity)).arg(m_transfer.blocksSent()).arg(totalBlocks);
    }
    return {};
}
