#include "serialtransfer.h"

#include "firmwarefile.h"
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
    , transfer(this)
    , latency(driverLatency)
{
    transfer.setLink(&port);
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
    requestLowLatency();
    return {};
}

void SerialTransfer::close()
{
    restoreLatency();
    if (port.isOpen())
        port.close();
}

QString SerialTransfer::requestDownload(const QString &fileName)
{
    if (transfer.state() == TransferProtocol::State::Transferring)
        return {}; // the file under a running transfer is left alone
    const QString problem = openFirmware(firmware, fileName, firmwareSize);
    if (!problem.isEmpty()) {
        transfer.withdrawDownload();
        return problem;
    }
    transfer.requestDownload(&firmware, firmwareSize);
    return {};
}

void SerialTransfer::receive()
{
    transfer.readFrom(port);
    // Hand the replies to the system now rather than on the next pass of the loop.
    if (port.isOpen())
        port.flush();
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
    const TransferProtocol::State state = transfer.state();
    latencyToRestore = false; // nothing is left to put back
    port.close();
    transfer.linkLost();
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
