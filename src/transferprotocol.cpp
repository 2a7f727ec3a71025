#include "transferprotocol.h"

#include "blockchecksum.h"

#include <algorithm>

namespace {

// The replies that are not frames: the greeting after an identity (eight
// 0x03), the answer to a poll, the end of a download.
constexpr char greeting[8] = {0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03};
constexpr char pollAnswer[1] = {TransferProtocol::ETX};
constexpr char endOfTransfer[1] = {TransferProtocol::EOT};

} // namespace

TransferProtocol::Step TransferProtocol::feed(QByteArrayView bytes)
{
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        Step step = handle(bytes[i]);
        if (step.event != Event::None || !step.reply.isEmpty()) {
            step.consumed = i + 1;
            return step;
        }
    }
    return {{}, Event::None, bytes.size()};
}

void TransferProtocol::requestDownload()
{
    if (transferState == State::AwaitingStart)
        transferState = State::StartPending;
}

void TransferProtocol::withdrawDownload()
{
    if (transferState == State::StartPending)
        transferState = State::AwaitingStart;
}

void TransferProtocol::begin(const QByteArray &newImage)
{
    image = newImage;
    sentBytes = 0;
    ackedBytes = 0;
    nakCount = 0;
    naksInARow = 0;
    frameFormed = false;
    transferState = State::Transferring;
}

TransferProtocol::Step TransferProtocol::handle(char byte)
{
    switch (transferState) {
    case State::Idle:
        if (byte == ETX) {
            identityCount = 0;
            transferState = State::ReadingIdentity;
        }
        return {};
    case State::ReadingIdentity:
        return storeIdentityByte(byte);
    case State::AwaitingStart:
        return {QByteArrayView(pollAnswer, 1)};
    case State::StartPending:
        // The byte itself carries nothing; the image is asked for in its place.
        return {{}, Event::ImageWanted};
    case State::Transferring:
        return handleReply(byte);
    }
    return {};
}

TransferProtocol::Step TransferProtocol::storeIdentityByte(char byte)
{
    identityRecord[identityCount++] = byte;
    if (identityCount < identitySize)
        return {};
    transferState = State::AwaitingStart;
    return {QByteArrayView(greeting, sizeof greeting), Event::Identified};
}

TransferProtocol::Step TransferProtocol::handleReply(char byte)
{
    switch (byte) {
    case ACK:
        // The first ACK asks for block 1; every later one takes the block before.
        ackedBytes = sentBytes;
        naksInARow = 0;
        if (sentBytes >= imageSize())
            return end(TransferResult::Ok, QByteArrayView(endOfTransfer, 1));
        return sendNextBlock();
    case NAK:
        // Before the first frame of this download there is nothing to repeat.
        if (!frameFormed)
            return {};
        if (nakLimitOn && ++naksInARow >= nakLimit)
            return end(TransferResult::NakLimit);
        ++nakCount;
        return {frame()};
    case CAN:
        return end(TransferResult::Canceled);
    default:
        return {};
    }
}

TransferProtocol::Step TransferProtocol::sendNextBlock()
{
    const qsizetype count = qsizetype(std::min<quint64>(blockSize, imageSize() - sentBytes));
    char *payload = frameBuffer.data() + 1;
    frameBuffer[0] = STX;
    std::copy_n(image.constData() + sentBytes, count, payload);
    // The tail of a short final block is zero, never bytes of an earlier block.
    std::fill(payload + count, payload + blockSize, '\0');
    const quint16 crc = blockChecksum(payload, blockSize);
    payload[blockSize] = char(crc >> 8);
    payload[blockSize + 1] = char(crc & 0xFF);
    frameFormed = true;
    sentBytes += blockSize;
    return {frame(), Event::BlockSent};
}

TransferProtocol::Step TransferProtocol::end(TransferResult result, QByteArrayView reply)
{
    transferState = State::Idle;
    endResult = result;
    return {reply, Event::Ended};
}

int TransferProtocol::progressPercent() const
{
    if (image.isEmpty())
        return 100;
    const quint64 done = std::min(sentBytes, imageSize());
    return int(done * 100 / imageSize());
}

quint64 TransferProtocol::bytesAcknowledged() const
{
    return std::min(ackedBytes, imageSize());
}

QByteArrayView TransferProtocol::imageSent() const
{
    return QByteArrayView(image).first(qsizetype(std::min(sentBytes, imageSize())));
}
