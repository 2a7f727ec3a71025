#include "devicesimulator.h"

#include "blockchecksum.h"

#include <algorithm>
#include <utility>

namespace {

// The device's side of the wire, written out here rather than taken from the
// host's TransferProtocol: a wrong byte on either side then fails the exchange
// in every end-to-end test instead of agreeing with itself unseen.
constexpr char announceByte = 0x03;
constexpr char STX = 0x02;
constexpr char EOT = 0x04;
constexpr char ACK = 0x06;
constexpr char NAK = 0x15;
constexpr char CAN = 0x18;

constexpr int hostGreetingLength = 8; // 0x03 bytes the host writes after the identity
constexpr int identityLength = 16;
constexpr int uidLength = 8;
constexpr int minorVersionOffset = 10;
constexpr int majorVersionOffset = 11;

quint16 frameChecksum(const QByteArray &frame)
{
    const int at = 1 + DeviceSimulator::blockSize;
    return quint16((quint8(frame.at(at)) << 8) | quint8(frame.at(at + 1)));
}

bool isValidFrame(const QByteArray &frame)
{
    return frame.at(0) == STX
        && frameChecksum(frame) == blockChecksum(frame.constData() + 1, DeviceSimulator::blockSize);
}

} // namespace

DeviceSimulator::DeviceSimulator(const Settings &settings)
    : settings(settings)
    , random(settings.seed)
{
}

DeviceSimulator::Output DeviceSimulator::start()
{
    if (state != State::NotStarted && state != State::Unplugged)
        return {};
    return announceNextDevice();
}

DeviceSimulator::Output DeviceSimulator::feed(const QByteArray &fromHost, bool quietAfter)
{
    Output out;
    for (const char byte : fromHost)
        receiveByte(byte, out);
    if (!fromHost.isEmpty())
        quietTicks = 0;
    if (quietAfter)
        judge(out, false);
    return out;
}

DeviceSimulator::Output DeviceSimulator::lineQuiet()
{
    Output out;
    judge(out, false);
    return out;
}

DeviceSimulator::Output DeviceSimulator::tick()
{
    Output out;
    ++quietTicks;
    switch (state) {
    case State::Announced:
        // Nothing came back: the host may not have had the line open yet.
        if (!heardBack && ++ticksAnnounced >= settings.announceEveryTicks) {
            ticksAnnounced = 0;
            out.announcement = announceByte + identityRecord(deviceRecords.last().uid);
        }
        break;
    case State::Polling:
        pollTick(out);
        break;
    case State::Receiving:
        judge(out, quietTicks >= settings.quietTicks);
        stalledFrameTick(out);
        break;
    case State::BetweenDevices:
        if (++ticksBetweenDevices < settings.ticksBetweenDevices)
            break;
        ticksBetweenDevices = 0;
        return announceNextDevice();
    default:
        break;
    }
    return out;
}

DeviceSimulator::Output DeviceSimulator::giveUp()
{
    Output out;
    if (!awaitsHost())
        return out;
    deviceRecords.last().outcome = Outcome::Abandoned;
    state = State::Finished;
    out.events |= DeviceFinished | AllDone;
    return out;
}

bool DeviceSimulator::awaitsHost() const
{
    return state == State::Announced || state == State::Polling || state == State::Receiving;
}

DeviceSimulator::Output DeviceSimulator::announceNextDevice()
{
    deviceRecords.append({uidForNextDevice(), {}, Outcome::Pending});
    state = State::Announced;
    greetingBytes = 0;
    heardBack = false;
    ticksAnnounced = 0;
    refusedBlocks.clear();
    Output out;
    out.bytes = noise();
    out.announcement = announceByte + identityRecord(deviceRecords.last().uid);
    return out;
}

QByteArray DeviceSimulator::identityRecord(const QByteArray &uid) const
{
    QByteArray record = uid;
    record.resize(identityLength, '\0');
    record[minorVersionOffset] = char(settings.versionMinor);
    record[majorVersionOffset] = char(settings.versionMajor);
    return record;
}

QByteArray DeviceSimulator::uidForNextDevice() const
{
    QByteArray uid = settings.uid.left(uidLength);
    uid.resize(uidLength, '\0');
    uid[uidLength - 1] = char(quint8(uid.at(uidLength - 1)) + deviceRecords.size());
    return uid;
}

QByteArray DeviceSimulator::noise()
{
    // An idle host takes 0x03 as the start of an announcement, so the garbage
    // draws from the 255 other values.
    std::uniform_int_distribution<int> draw(0, 254);
    QByteArray bytes;
    bytes.reserve(settings.noiseBytes);
    for (int i = 0; i < settings.noiseBytes; ++i) {
        const int value = draw(random);
        bytes.append(char(value >= announceByte ? value + 1 : value));
    }
    return bytes;
}

void DeviceSimulator::receiveByte(char byte, Output &out)
{
    switch (state) {
    case State::Announced:
        heardBack = true;
        receiveGreetingByte(byte);
        break;
    case State::Polling:
        if (byte == announceByte)
            pollAnswered = true;
        break;
    case State::Receiving:
        receiveFrameByte(byte, out);
        break;
    default:
        break;
    }
}

void DeviceSimulator::receiveGreetingByte(char byte)
{
    if (byte == announceByte && ++greetingBytes == hostGreetingLength)
        enterPolling();
}

void DeviceSimulator::receiveFrameByte(char byte, Output &out)
{
    if (pendingReply != Pending::Nothing) {
        if (behindCount++ == 0)
            behindFirst = byte;
        onlyEtxBehind = onlyEtxBehind && byte == announceByte;
        return;
    }
    frameGrew = true;
    if (receivedFrame.isEmpty() && byte == announceByte && deviceRecords.last().image.isEmpty()) {
        // Perhaps a late answer to a poll: the host is still waiting for the
        // user and took our ACK for just another byte to answer.
        pendingReply = Pending::PollAnswer;
        return;
    }
    if (receivedFrame.isEmpty() && byte == EOT) {
        pendingReply = Pending::EOT;
        return;
    }
    receivedFrame.append(byte);
    if (receivedFrame.size() == frameLength) {
        out.events |= FrameReceived;
        pendingReply = Pending::Frame;
    }
}

// What waited for the line to go quiet: a frame at once, an EOT or a late
// poll answer once the line has settled. An EOT or a late poll answer with
// more behind it was noise or a damaged frame: the frame is asked for again.
void DeviceSimulator::judge(Output &out, bool settled)
{
    if (pendingReply == Pending::Nothing || (pendingReply != Pending::Frame && !settled))
        return;
    const Pending pending = std::exchange(pendingReply, Pending::Nothing);
    const int behind = std::exchange(behindCount, 0);
    const bool behindAllEtx = std::exchange(onlyEtxBehind, true);
    if (state != State::Receiving)
        return;
    if (pending == Pending::Frame && behind > 0 && isValidFrame(receivedFrame)) {
        // A good frame with one stray byte behind it is asked for again; a
        // host that sent a frame or an EOT right behind it did not wait for
        // the reply, so it took some byte for one and has lost step.
        receivedFrame.clear();
        if (behind == 1 && behindFirst != EOT) {
            rejectFrame(out);
            return;
        }
        out.bytes.append(CAN);
        endDevice(Outcome::OutOfStep, out);
        return;
    }
    if (pending == Pending::Frame) {
        completeFrame(out);
    } else if (behind == 0 && pending == Pending::EOT) {
        endDevice(Outcome::Completed, out);
    } else if (behindAllEtx && pending == Pending::PollAnswer) {
        enterPolling();
    } else {
        receivedFrame.clear();
        ++badFrameCount;
        rejectFrame(out);
    }
}

void DeviceSimulator::completeFrame(Output &out)
{
    const QByteArray frame = std::exchange(receivedFrame, {});
    if (!isValidFrame(frame)) {
        ++badFrameCount;
        rejectFrame(out);
        return;
    }
    const int block = nextBlockNumber();
    if (unplugsAt(block)) {
        endDevice(Outcome::Unplugged, out);
        return;
    }
    if (cancelsAt(block)) {
        out.bytes.append(CAN);
        endDevice(Outcome::Cancelled, out);
        return;
    }
    if (refuseBlock(block)) {
        rejectFrame(out);
        return;
    }
    deviceRecords.last().image.append(frame.constData() + 1, blockSize);
    ++receivedBlockCount;
    requestFrame(ACK, out);
}

bool DeviceSimulator::refuseBlock(int block)
{
    const bool chosen = settings.nakBlocks.contains(block)
        || (settings.nakEvery > 0 && block % settings.nakEvery == 0);
    if (chosen && !refusedBlocks.contains(block)) {
        refusedBlocks.insert(block);
        return true;
    }
    return settings.nakProbability > 0.0
        && std::bernoulli_distribution(settings.nakProbability)(random);
}

bool DeviceSimulator::unplugsAt(int block) const
{
    const int device = currentDeviceIndex() + 1;
    return unpluggedCount() == 0 && block == settings.unplugAtBlock
        && (settings.unplugDevice == 0 || device == settings.unplugDevice);
}

int DeviceSimulator::unpluggedCount() const
{
    return int(std::count_if(deviceRecords.cbegin(), deviceRecords.cend(),
                             [](const DeviceSession &device) { return device.outcome == Outcome::Unplugged; }));
}

bool DeviceSimulator::cancelsAt(int block) const
{
    const int device = currentDeviceIndex() + 1;
    return block == settings.cancelAtBlock && device % settings.cancelEvery == 0;
}

void DeviceSimulator::pollTick(Output &out)
{
    if (pollOutstanding && !pollAnswered && quietTicks < settings.quietTicks)
        return;
    if (pollOutstanding && !pollAnswered) {
        // Long enough without an answer: the host swallowed the poll as the
        // byte after Download and now waits for our first ACK.
        state = State::Receiving;
        receivedFrame.clear();
        requestFrame(ACK, out);
        return;
    }
    out.bytes.append(pollByte);
    pollOutstanding = true;
    pollAnswered = false;
}

void DeviceSimulator::stalledFrameTick(Output &out)
{
    // A partial frame that did not grow during a whole tick interval will
    // never complete: the host sent a short frame.
    if (!receivedFrame.isEmpty() && !frameGrew) {
        receivedFrame.clear();
        ++badFrameCount;
        rejectFrame(out);
    }
    frameGrew = false;
}

void DeviceSimulator::enterPolling()
{
    state = State::Polling;
    pollOutstanding = false;
    pollAnswered = false;
    receivedFrame.clear();
    pendingReply = Pending::Nothing;
}

void DeviceSimulator::requestFrame(char reply, Output &out)
{
    out.bytes.append(reply);
    out.events |= FrameRequested;
}

void DeviceSimulator::rejectFrame(Output &out)
{
    ++nakCount;
    requestFrame(NAK, out);
}

void DeviceSimulator::endDevice(Outcome outcome, Output &out)
{
    deviceRecords.last().outcome = outcome;
    out.events |= DeviceFinished;
    if (outcome == Outcome::Unplugged) {
        out.events |= UnplugRequested;
        if (settings.replugAfterUnplug) {
            state = State::Unplugged;
            return;
        }
    }
    // A device that was unplugged and replaced is not one of those asked for.
    const int countedDevices = int(deviceRecords.size()) - unpluggedCount();
    const bool last = outcome == Outcome::Unplugged || countedDevices >= settings.deviceCount;
    state = last ? State::Finished : State::BetweenDevices;
    if (last)
        out.events |= AllDone;
}

int DeviceSimulator::nextBlockNumber() const
{
    return int(deviceRecords.last().image.size() / blockSize) + 1;
}
