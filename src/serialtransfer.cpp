#include "serialtransfer.h"

#include "seriallink.h"

#include <QCryptographicHash>
#include <QFile>

namespace {

QString driverLatency(QSerialPort &port, bool write, bool &on)
{
    return write ? SerialLink::writeLowLatency(port, on) : SerialLink::readLowLatency(port, on);
}

} // namespace

QString sha256Hex(const QByteArray &image)
{
    static QByteArray hashed;
    static QString hash;
    if (hash.isEmpty() || !hashed.isSharedWith(image)) {
        hashed = image;
        hash = QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
    }
    return hash;
}

SerialTransfer::SerialTransfer(QSerialPort &port, QObject *parent)
    : QObject(parent)
    , port(port)
    , latency(driverLatency)
{
    connect(&port, &QSerialPort::readyRead, this, &SerialTransfer::receive);
    connect(&port, &QSerialPort::errorOccurred, this, &SerialTransfer::handleError);
}

SerialTransfer::~SerialTransfer()
{
    // The owner's port outlives this; it must not call back into it.
    port.disconnect(this);
    restoreLatency();
}

QString SerialTransfer::open(const QString &portName)
{
    close();
    const QString problem = SerialLink::open(port, portName);
    if (!problem.isEmpty())
        return problem;
    openedName = portName;
    lineSpoke.start();
    requestLowLatency();
    return {};
}

void SerialTransfer::close()
{
    restoreLatency();
    if (port.isOpen())
        port.close();
}

void SerialTransfer::requestDownload(QFile &file, quint32 size)
{
    arm(&file, size, {});
}

void SerialTransfer::requestDownload(const QByteArray &newImage)
{
    arm(nullptr, 0, newImage);
}

void SerialTransfer::withdrawDownload()
{
    firmware = nullptr;
    protocol.withdrawDownload();
}

void SerialTransfer::arm(QFile *file, quint32 size, const QByteArray &heldImage)
{
    if (protocol.state() == TransferProtocol::State::Transferring)
        return; // the image under way is not touched
    firmware = file;
    firmwareSize = size;
    image = heldImage;
    protocol.requestDownload();
}

void SerialTransfer::receive()
{
    lineSpoke.start();
    // The port signals an arrival once, not again for bytes it still holds,
    // so everything it has ready is handled now, unless the port is closed on
    // the way (its owner is done with it): no byte after that is answered.
    char bytes[TransferProtocol::blockSize];
    qint64 count;
    while (port.isOpen() && (count = port.read(bytes, sizeof bytes)) > 0)
        handle(QByteArrayView(bytes, count));
    // Hand the replies to the system now rather than on the next pass of the loop.
    if (port.isOpen())
        port.flush();
    if (std::exchange(progressMoved, false))
        emit progressChanged(protocol.progressPercent());
}

void SerialTransfer::handle(QByteArrayView bytes)
{
    using Event = TransferProtocol::Event;
    while (!bytes.isEmpty() && port.isOpen()) {
        const TransferProtocol::Step step = protocol.feed(bytes);
        if (!step.reply.isEmpty())
            port.write(step.reply.data(), step.reply.size());
        bytes = bytes.sliced(step.consumed);
        if (step.event == Event::Identified)
            newDevice();
        else if (step.event == Event::ImageWanted)
            startTransfer();
        else if (step.event == Event::BlockSent)
            progressMoved = true;
        else if (step.event == Event::Ended)
            endDownload(protocol.result());
    }
}

void SerialTransfer::newDevice()
{
    identity = protocol.identity();
    image.clear();
    started = false;
    emit identified(identity);
}

void SerialTransfer::startTransfer()
{
    if (firmware && !readFirmware())
        return;
    firmware = nullptr;
    protocol.begin(image);
    started = true;
    transferClock.start();
    emit transferStarted();
    emit progressChanged(0);
}

// Reads the armed file whole. A file rewritten, truncated or appended to
// during a transfer would otherwise reach the device as a mix of two images;
// held in memory, the image cannot change under the transfer. A size that no
// longer matches the one taken when Download was pressed means the file
// changed before the transfer began.
bool SerialTransfer::readFirmware()
{
    image.resize(firmwareSize);
    const qint64 count = firmware->isOpen() ? firmware->read(image.data(), firmwareSize) : -1;
    if (count == firmwareSize && firmware->atEnd())
        return true;
    image.clear();
    firmware = nullptr;
    protocol.reset();
    endDownload(count < 0 ? TransferResult::FirmwareUnreadable : TransferResult::FirmwareChanged);
    return false;
}

void SerialTransfer::endDownload(TransferResult result)
{
    port.flush(); // the closing EOT goes out before the owner hears of the end
    emit downloadEnded(result);
}

DeviceFigures SerialTransfer::figures() const
{
    DeviceFigures figures;
    figures.identity = identity;
    figures.imageBytes = quint64(image.size());
    if (started) {
        figures.sentBytes = quint64(protocol.imageSent().size());
        figures.ackedBytes = protocol.bytesAcknowledged();
        figures.ackedBlocks = protocol.blocksAcknowledged();
        figures.naks = protocol.naksAnswered();
        figures.seconds = transferClock.nsecsElapsed() / 1e9;
    }
    return figures;
}

void SerialTransfer::handleError(QSerialPort::SerialPortError error)
{
    // A vanished line keeps reporting errors until the port is closed, so it
    // is closed before anything is said.
    if (SerialLink::isLost(error))
        dropLine();
}

void SerialTransfer::dropLine()
{
    if (!port.isOpen())
        return;
    const TransferProtocol::State state = protocol.state();
    latencyToRestore = false; // nothing is left to put back
    port.close();
    protocol.reset();
    emit lost(SerialLink::lostText(openedName), state);
}

// A USB adapter holds received bytes up to its latency timer (16 ms on many)
// before passing them on; every one-byte ACK would wait that long.
void SerialTransfer::requestLowLatency()
{
    lowLatencyRefusal.clear();
    if (!lowLatencyWanted) {
        lowLatencyRefusal = QStringLiteral("not requested");
        return;
    }
    bool on = false;
    lowLatencyRefusal = latency(port, false, on);
    if (!lowLatencyRefusal.isEmpty() || on)
        return;
    on = true;
    lowLatencyRefusal = latency(port, true, on);
    latencyToRestore = lowLatencyRefusal.isEmpty();
}

// The next program finds the port as this one found it.
void SerialTransfer::restoreLatency()
{
    if (!std::exchange(latencyToRestore, false) || !port.isOpen())
        return;
    bool off = false;
    latency(port, true, off);
}
