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

void TransferProtocol::lineOpened(qint64 nowUs)
{
    lastByteUs = nowUs;
    silenceReported = false;
}

TransferProtocol::Step TransferProtocol::feed(QByteArrayView bytes, qint64 nowUs)
{
    imageAsked = false; // unanswered, the request lapses: the next start byte asks again
    // A pause decides what held bytes were before the next byte is read.
    if (heldCount > 0 && nowUs - lastByteUs >= recordGapUs)
        releaseHeld();
    if (const Step step = replayNext(nowUs); step.drewSomething())
        return step;
    if (std::exchange(greetingOwed, false))
        return greet();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        Step step = handle(bytes[i], nowUs);
        if (step.drewSomething()) {
            step.consumed = i + 1;
            return step;
        }
    }
    // Silence is judged only once every byte that came is handled: a late
    // wake-up must not call a line silent whose bytes are waiting to be read.
    Step step;
    if (watchingEnd() && nowUs >= endWatchUntilUs)
        step = end(TransferResult::Ok);
    else if (silenceLimitUs > 0 && !silenceReported && nowUs - lastByteUs >= silenceLimitUs) {
        silenceReported = true;
        step.event = Event::Silent;
    }
    step.consumed = bytes.size();
    return step;
}

qint64 TransferProtocol::wakeAtUs() const
{
    qint64 wake = -1;
    const auto consider = [&wake](qint64 atUs) { wake = wake < 0 ? atUs : std::min(wake, atUs); };
    if (heldCount > 0)
        consider(lastByteUs + recordGapUs);
    if (watchingEnd())
        consider(endWatchUntilUs);
    if (silenceLimitUs > 0 && !silenceReported)
        consider(lastByteUs + silenceLimitUs);
    return wake;
}

void TransferProtocol::requestDownload()
{
    if (transferState == State::AwaitingStart)
        transferState = State::StartPending;
}

void TransferProtocol::withdrawDownload()
{
    imageAsked = false;
    if (transferState == State::StartPending)
        transferState = State::AwaitingStart;
}

bool TransferProtocol::begin(const QByteArray &newImage)
{
    if (!std::exchange(imageAsked, false))
        return false;
    image = newImage;
    sentBytes = 0;
    ackedBytes = 0;
    nakCount = 0;
    naksInARow = 0;
    noiseCount = 0;
    frameFormed = false;
    slowestAnswerUs = 0;
    endWatchUntilUs = -1;
    transferState = State::Transferring;
    return true;
}

void TransferProtocol::reset()
{
    transferState = State::Idle;
    imageAsked = false;
    heldCount = 0;
    replayAt = replayEnd = 0;
    greetingOwed = false;
    endWatchUntilUs = -1;
}

TransferProtocol::Step TransferProtocol::handle(char byte, qint64 nowUs)
{
    const bool afterSilence = nowUs - lastByteUs >= announcementQuietUs;
    lastByteUs = nowUs;
    silenceReported = false;
    if (heldCount > 0)
        return holdByte(byte);
    if (byte == ETX && afterSilence)
        return startHolding(nowUs);
    return handleInState(byte, nowUs, nowUs);
}

TransferProtocol::Step TransferProtocol::handleInState(char byte, qint64 arrivedUs, qint64 nowUs)
{
    switch (transferState) {
    case State::Idle:
    case State::ReadingIdentity:
        return {}; // only an 0x03 after silence means anything here, and it is held
    case State::AwaitingStart:
        return {QByteArrayView(pollAnswer, 1)};
    case State::StartPending:
        // The byte itself carries nothing; the image is asked for in its place.
        imageAsked = true;
        return {{}, Event::ImageWanted};
    case State::Transferring:
        return handleReply(byte, arrivedUs, nowUs);
    }
    return {};
}

// An 0x03 after silence may open an announcement. A device waiting for the
// start may also poll with 0x03, and must hear back within 50 ms, so there
// it is answered at once; anywhere else it waits for what follows.
TransferProtocol::Step TransferProtocol::startHolding(qint64 atUs)
{
    held[0] = ETX;
    heldCount = 1;
    heldSinceUs = atUs;
    firstHeldAnswered = transferState == State::AwaitingStart;
    if (transferState == State::Idle)
        transferState = State::ReadingIdentity;
    return firstHeldAnswered ? Step{QByteArrayView(pollAnswer, 1)} : Step{};
}

TransferProtocol::Step TransferProtocol::holdByte(char byte)
{
    held[heldCount++] = byte;
    if (heldCount < announcementSize)
        return {};
    heldCount = 0;
    return announced();
}

// A whole announcement: a device started afresh. During a transfer that
// device cannot be the one the frames were counted for; after the EOT it is
// one that took the end and was reset.
TransferProtocol::Step TransferProtocol::announced()
{
    if (transferState != State::Transferring)
        return greet();
    greetingOwed = true;
    return end(watchingEnd() ? TransferResult::Ok : TransferResult::OutOfStep);
}

TransferProtocol::Step TransferProtocol::greet()
{
    std::copy(held.begin() + 1, held.end(), identityRecord.begin());
    transferState = State::AwaitingStart;
    return {QByteArrayView(greeting, sizeof greeting), Event::Identified};
}

// The line paused before an announcement was whole: the held bytes were
// something else and are handled now, as they came. A record cut off is
// never shown.
void TransferProtocol::releaseHeld()
{
    const int count = std::exchange(heldCount, 0);
    if (transferState == State::ReadingIdentity) {
        transferState = State::Idle;
        return;
    }
    replayAt = firstHeldAnswered ? 1 : 0;
    replayEnd = count;
}

TransferProtocol::Step TransferProtocol::replayNext(qint64 nowUs)
{
    while (replayAt < replayEnd) {
        const Step step = handleInState(held[replayAt++], heldSinceUs, nowUs);
        if (step.drewSomething())
            return step;
    }
    return {};
}

TransferProtocol::Step TransferProtocol::handleReply(char byte, qint64 arrivedUs, qint64 nowUs)
{
    // A reply after the EOT: the device still counts frames, so the last
    // one it took was not the one the host counted last. Other bytes are
    // noise, or the next device making itself known.
    const bool reply = byte == ACK || byte == NAK || byte == CAN;
    if (watchingEnd())
        return reply ? end(TransferResult::OutOfStep) : nonReply(arrivedUs);
    switch (byte) {
    case ACK:
        // The first ACK asks for block 1; every later one takes the block before.
        if (frameFormed)
            slowestAnswerUs = std::max(slowestAnswerUs, arrivedUs - frameWrittenUs);
        ackedBytes = sentBytes;
        naksInARow = 0;
        if (sentBytes < imageSize())
            return sendNextBlock(nowUs);
        endWatchUntilUs = nowUs + std::max(frameAirUs, slowestAnswerUs) + endWatchMarginUs;
        return {QByteArrayView(endOfTransfer, 1)};
    case NAK:
        // Before the first frame of this download there is nothing to repeat.
        if (!frameFormed)
            return nonReply(arrivedUs);
        slowestAnswerUs = std::max(slowestAnswerUs, arrivedUs - frameWrittenUs);
        if (nakLimitOn && ++naksInARow >= nakLimit)
            return end(TransferResult::NakLimit);
        ++nakCount;
        frameWrittenUs = nowUs;
        return {frame()};
    case CAN:
        return end(TransferResult::Canceled);
    default:
        return nonReply(arrivedUs);
    }
}

// A byte that is no reply. Before the first frame nothing can be out of
// step, and while a frame may still be crossing the line the device cannot
// have answered it: either way it is noise. Once the frame is across, the
// device owes a reply; anything else (a poll, most often) shows it has lost
// the frame's count.
TransferProtocol::Step TransferProtocol::nonReply(qint64 arrivedUs)
{
    if (!frameFormed || watchingEnd() || arrivedUs - frameWrittenUs < frameInFlightUs) {
        ++noiseCount;
        return {};
    }
    return end(TransferResult::OutOfStep);
}

TransferProtocol::Step TransferProtocol::sendNextBlock(qint64 nowUs)
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
    frameWrittenUs = nowUs;
    sentBytes += blockSize;
    return {frame(), Event::BlockSent};
}

TransferProtocol::Step TransferProtocol::end(TransferResult result, QByteArrayView reply)
{
    transferState = State::Idle;
    endResult = result;
    endWatchUntilUs = -1;
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
