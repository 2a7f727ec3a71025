#include "serialtransfer.h"

#include "seriallink.h"


namespace {

QString driverLatency(QSerialPort &port, bool write, bool &on)
{
    return write ? SerialLink::writeLowLatency(port, on) : SerialLink::readLowLatency(port, on);
}

} // namespace

SerialTransfer::SerialTransfer(QSerialPort &port, QObject *parent)
    : QObject(parent)
    , port(port)
    , latency(driverLatency)
{
    clock.start();
    wake.setSingleShot(true);
    // A coarse timer may fire early; the protocol's times must not.
    wake.setTimerType(Qt::PreciseTimer);
    connect(&wake, &QTimer::timeout, this, &SerialTransfer::receive);
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
    if (port.isOpen())
        close();
    const QString problem = SerialLink::open(port, portName);
    if (!problem.isEmpty())
        return problem;
    openedName = portName;
    protocol.lineOpened(nowUs());
    requestLowLatency();
    scheduleWake();
    return {};
}

void SerialTransfer::close()
{
    wake.stop();
    restoreLatency();
    if (!port.isOpen())
        return;
    port.flush(); // what can be written now is not thrown away by the close
    port.close();
}

void SerialTransfer::requestDownload(ImageSource source)
{
    if (protocol.state() == TransferProtocol::State::Transferring)
        return; // the image under way is not touched
    imageSource = std::move(source);
    protocol.requestDownload();
}

void SerialTransfer::withdrawDownload()
{
    imageSource = nullptr;
    protocol.withdrawDownload();
}

void SerialTransfer::forgetDevice()
{
    imageSource = nullptr;
    protocol.reset();
    protocol.lineOpened(nowUs());
    scheduleWake();
}

void SerialTransfer::receive()
{
    // The port signals an arrival once, not again for bytes it still holds,
    // so everything it has ready is handled now, unless the port is closed on
    // the way (its owner is done with it): no byte after that is answered.
    // Every byte read now counts as come now: a late wake-up must not take
    // bytes that came before it for bytes that came after a pause.
    const qint64 now = nowUs();
    char bytes[TransferProtocol::blockSize];
    qint64 count;
    bool anyRead = false;
    while (port.isOpen() && (count = port.read(bytes, sizeof bytes)) > 0) {
        handle(QByteArrayView(bytes, count), now);
        anyRead = true;
    }
    if (!anyRead)
        handle({}, now); // what the time alone brings, on a lost line too
    // Hand the replies to the system now rather than on the next pass of the loop.
    if (port.isOpen())
        port.flush();
    if (std::exchange(progressMoved, false))
        emit progressChanged(protocol.progressPercent());
    scheduleWake();
}

void SerialTransfer::handle(QByteArrayView bytes, qint64 now)
{
    using Event = TransferProtocol::Event;
    const bool lineWasOpen = port.isOpen();
    for (;;) {
        const TransferProtocol::Step step = protocol.feed(bytes, now);
        if (!step.reply.isEmpty() && port.isOpen())
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
        else if (step.event == Event::Silent)
            emit silent();
        if (lineWasOpen && !port.isOpen())
            return; // the owner is done with the line: nothing more is handled
        if (!step.drewSomething() && bytes.isEmpty())
            return;
    }
}

void SerialTransfer::scheduleWake()
{
    const qint64 wakeAt = protocol.wakeAtUs();
    if (wakeAt < 0) {
        wake.stop();
        return;
    }
    const qint64 waitUs = std::max<qint64>(0, wakeAt - nowUs());
    wake.start(int((waitUs + 999) / 1000));
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
    const TransferResult refusal = std::exchange(imageSource, nullptr)(image);
    if (refusal != TransferResult::Ok) {
        image.clear();
        protocol.reset();
        endDownload(refusal);
        return;
    }
    protocol.begin(image);
    started = true;
    transferClock.start();
    emit transferStarted();
    emit progressChanged(0);
}

// The owner may close the port the moment it hears of the end, and on some
// systems a close throws away what the port has not written yet: a device
// that never saw its EOT may never start the image. The watch after the EOT
// gives the write time to finish; if it has not, the end is no success.
// (Waiting for it here, inside the port's own notification, is not safe.)
void SerialTransfer::endDownload(TransferResult result)
{
    if (result == TransferResult::Ok && port.bytesToWrite() > 0)
        result = TransferResult::PortLost;
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
        figures.noiseBytes = protocol.noiseBytes();
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

// A line lost while it is watched after the EOT ends the download OK:
// every block was acknowledged and the EOT had left, and many devices drop
// their line right then, to start the new image.
void SerialTransfer::dropLine()
{
    if (!port.isOpen())
        return;
    const bool endedOk = protocol.watchingEnd() && port.bytesToWrite() == 0;
    const TransferProtocol::State state = endedOk ? TransferProtocol::State::Idle : protocol.state();
    latencyToRestore = false; // nothing is left to put back
    port.close();
    protocol.reset();
    scheduleWake(); // the silence limit still counts while the line is away
    if (endedOk)
        emit downloadEnded(TransferResult::Ok);
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
