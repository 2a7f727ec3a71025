#include "transferprotocol.h"

#include "blockchecksum.h"

#include <QIODevice>

#include <algorithm>

namespace {

// The identity record: the UID in its first bytes, then the version, minor
// byte before major.
constexpr int UidSize = 8;
constexpr int MinorVersionOffset = 10;
constexpr int MajorVersionOffset = 11;

} // namespace

TransferProtocol::TransferProtocol(QObject *parent)
    : QObject(parent)
{
}

void TransferProtocol::setLink(QIODevice *newLink)
{
    link = newLink;
}

void TransferProtocol::requestDownload(QIODevice *newFirmware, quint32 size)
{
    if (transferState == State::Transferring)
        return; // the running block sequence keeps its file
    firmware = newFirmware;
    firmwareSize = size;
    imageHeld = false;
    heldImage.clear();
    if (transferState == State::AwaitingStart)
        transferState = State::StartPending;
}

void TransferProtocol::requestDownload(const QByteArray &newImage)
{
    if (transferState == State::Transferring)
        return;
    requestDownload(nullptr, quint32(newImage.size()));
    heldImage = newImage;
    imageHeld = true;
}

void TransferProtocol::withdrawDownload()
{
    if (transferState == State::Transferring)
        return;
    firmware = nullptr;
    firmwareSize = 0;
    imageHeld = false;
    heldImage.clear();
    if (transferState == State::StartPending)
        transferState = State::AwaitingStart;
}

void TransferProtocol::linkLost()
{
    transferState = State::Idle;
}

void TransferProtocol::readFrom(QIODevice &source)
{
    // The port signals an arrival once, not again for bytes it still holds,
    // so everything it has ready is handled now, unless the link is closed on
    // the way (its owner is done with it): no byte after that is answered.
    char receiveBuffer[blockSize];
    qint64 count;
    while (source.isOpen() && (count = source.read(receiveBuffer, sizeof receiveBuffer)) > 0)
        receiveBytes(receiveBuffer, count);
}

void TransferProtocol::receiveBytes(const char *bytes, qint64 count)
{
    for (qint64 i = 0; i < count && link->isOpen(); ++i)
        handleByte(bytes[i]);
}

void TransferProtocol::handleByte(char byte)
{
    switch (transferState) {
    case State::Idle:
        if (byte == ETX) {
            identityCount = 0;
            transferState = State::ReadingIdentity;
        }
        break;
    case State::ReadingIdentity:
        storeIdentityByte(byte);
        break;
    case State::AwaitingStart:
        write(ETX);
        break;
    case State::StartPending:
        startTransfer(); // the byte itself carries nothing
        break;
    case State::Transferring:
        handleReply(byte);
        break;
    }
}

void TransferProtocol::storeIdentityByte(char byte)
{
    identityRecord[identityCount++] = byte;
    if (identityCount < identitySize)
        return;
    transferState = State::AwaitingStart;
    for (int i = 0; i < 8; ++i)
        write(ETX);
    emit identified(QByteArray(identityRecord.data(), identitySize));
}

void TransferProtocol::startTransfer()
{
    if (!takeImage())
        return;
    sentBytes = 0;
    ackedBytes = 0;
    nakCount = 0;
    naksInARow = 0;
    blockLength = 0;
    transferState = State::Transferring;
    emit transferStarted();
    emit progressChanged(0);
}

// Reads the firmware whole. A file rewritten, truncated or appended to during
// a transfer would otherwise reach the device as a mix of two images; held in
// memory, the image cannot change under the transfer. Firmware is small (the
// 32-bit counts cap it below 4 GiB, over four days on the wire), so the copy
// costs little. A size that no longer matches the one taken when Download was
// pressed means the file changed before the transfer began.
bool TransferProtocol::takeImage()
{
    if (imageHeld) {
        image = heldImage;
        return true;
    }
    Outcome problem = Outcome::FirmwareChanged;
    image.resize(firmwareSize);
    const qint64 count = firmware && firmware->isOpen() ? firmware->read(image.data(), firmwareSize) : -1;
    if (count < 0)
        problem = Outcome::FirmwareUnreadable;
    else if (count == firmwareSize && firmware->atEnd())
        return true;
    image.clear();
    finish(problem);
    return false;
}

void TransferProtocol::handleReply(char byte)
{
    switch (byte) {
    case ACK:
        // The first ACK asks for block 1; every later one takes the block before.
        ackedBytes = sentBytes;
        naksInARow = 0;
        if (sentBytes >= firmwareSize) {
            write(EOT);
            finish(Outcome::Completed);
        } else {
            sendNextBlock();
        }
        break;
    case NAK:
        // Before the first block of this download there is nothing to repeat.
        if (blockLength == 0)
            break;
        if (nakLimitOn && ++naksInARow >= nakLimit)
            finish(Outcome::NakLimit);
        else
            resendBlock();
        break;
    case CAN:
        finish(Outcome::Canceled);
        break;
    default:
        break;
    }
}

void TransferProtocol::sendNextBlock()
{
    const qint64 count = std::min<qint64>(blockSize, firmwareSize - sentBytes);
    std::copy_n(image.constData() + sentBytes, count, blockBuffer.begin());
    // The tail of a short final block is zero, never bytes of an earlier block.
    std::fill(blockBuffer.begin() + count, blockBuffer.begin() + blockSize, '\0');
    blockLength = blockSize;
    const quint16 crc = blockChecksum(blockBuffer.data(), blockSize);
    blockBuffer[blockSize] = char(crc >> 8);
    blockBuffer[blockSize + 1] = char(crc & 0xFF);
    sentBytes += blockSize;
    emit progressChanged(progressPercent());
    writeFrame();
}

void TransferProtocol::resendBlock()
{
    ++nakCount;
    writeFrame();
}

void TransferProtocol::writeFrame()
{
    write(STX);
    link->write(blockBuffer.data(), blockLength + 2);
}

void TransferProtocol::finish(Outcome outcome)
{
    transferState = State::Idle;
    emit downloadEnded(outcome);
}

void TransferProtocol::write(char byte)
{
    link->write(&byte, 1);
}

QByteArrayView TransferProtocol::imageSent() const
{
    return QByteArrayView(image).first(std::min<qsizetype>(sentBytes, image.size()));
}

int TransferProtocol::progressPercent() const
{
    if (firmwareSize == 0)
        return 100;
    const quint64 done = std::min<quint64>(sentBytes, firmwareSize);
    return int(done * 100 / firmwareSize);
}

QString TransferProtocol::identityText(const QByteArray &identity)
{
    return QStringLiteral("UID: ") + QString::fromLatin1(identity.left(UidSize).toHex(' ').toUpper())
        + QStringLiteral(" V") + versionText(identity);
}

QString TransferProtocol::uidHex(const QByteArray &identity)
{
    return QString::fromLatin1(identity.left(UidSize).toHex().toUpper());
}

QString TransferProtocol::versionText(const QByteArray &identity)
{
    return QStringLiteral("%1.%2").arg(quint8(identity.at(MajorVersionOffset)))
        .arg(quint8(identity.at(MinorVersionOffset)));
}

QString TransferProtocol::outcomeText(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Completed:
        return QStringLiteral("Download OK");
    case Outcome::Canceled:
        return QStringLiteral("DOWNLOAD CANCELED");
    case Outcome::FirmwareUnreadable:
        return QStringLiteral("Firmware read error: download stopped");
    case Outcome::FirmwareChanged:
        return QStringLiteral("Firmware changed during download: stopped");
    case Outcome::NakLimit:
        return QStringLiteral("Gave up after %1 NAKs in a row").arg(nakLimit);
    }
    return {};
}
