#include "devicesimulator.h"

#include "blockchecksum.h"

#include <algorithm>
#include <utility>

namespace {

// The device's side of the wire, written out here rather than taken from the
// host's TransferProtocol: a wrong byte on either side then fails the exchange
// in every end-to-end test instead of agreeing with itself unseen.
constexpr char AnnounceByte = 0x03;
constexpr char Stx = 0x02;
constexpr char Eot = 0x04;
constexpr char Ack = 0x06;
constexpr char Nak = 0x15;
constexpr char Can = 0x18;

constexpr int HostGreetingLength = 8; // 0x03 bytes the host writes after the identity
constexpr int IdentityLength = 16;
constexpr int UidLength = 8;
constexpr int MinorVersionOffset = 10;
constexpr int MajorVersionOffset = 11;

quint16 frameChecksum(const QByteArray &frame)
{
    const int at = 1 + DeviceSimulator::BlockSize;
    return quint16((quint8(frame.at(at)) << 8) | quint8(frame.at(at + 1)));
}

bool isValidFrame(const QByteArray &frame)
{
    return frame.at(0) == Stx
        && frameChecksum(frame) == blockChecksum(frame.constData() + 1, DeviceSimulator::BlockSize);
}

} // namespace

DeviceSimulator::DeviceSimulator(const Settings &settings)
    : m_settings(settings)
    , m_random(settings.seed)
{
}

DeviceSimulator::Output DeviceSimulator::start()
{
    if (m_state != State::NotStarted && m_state != State::Unplugged)
        return {};
    return announceNextDevice();
}

DeviceSimulator::Output DeviceSimulator::feed(const QByteArray &fromHost, bool quietAfter)
{
    Output out;
    for (const char byte : fromHost)
        receiveByte(byte, out);
    if (!fromHost.isEmpty())
        m_quietTicks = 0;
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
    ++m_quietTicks;
    switch (m_state) {
    case State::Announced:
        // Nothing came back: the host may not have had the line open yet.
        if (!m_heardBack && ++m_ticksAnnounced >= m_settings.announceEveryTicks) {
            m_ticksAnnounced = 0;
            out.announcement = AnnounceByte + identityRecord(m_devices.last().uid);
        }
        break;
    case State::Polling:
        pollTick(out);
        break;
    case State::Receiving:
        judge(out, m_quietTicks >= m_settings.quietTicks);
        stalledFrameTick(out);
        break;
    case State::BetweenDevices:
        if (++m_ticksBetweenDevices < m_settings.ticksBetweenDevices)
            break;
        m_ticksBetweenDevices = 0;
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
    m_devices.last().outcome = Outcome::Abandoned;
    m_state = State::Finished;
    out.events |= DeviceFinished | AllDone;
    return out;
}

bool DeviceSimulator::awaitsHost() const
{
    return m_state == State::Announced || m_state == State::Polling || m_state == State::Receiving;
}

DeviceSimulator::Output DeviceSimulator::announceNextDevice()
{
    m_devices.append({uidForNextDevice(), {}, Outcome::Pending});
    m_state = State::Announced;
    m_greetingBytes = 0;
    m_heardBack = false;
    m_ticksAnnounced = 0;
    m_refusedBlocks.clear();
    Output out;
    out.bytes = noise();
    out.announcement = AnnounceByte + identityRecord(m_devices.last().uid);
    return out;
}

QByteArray DeviceSimulator::identityRecord(const QByteArray &uid) const
{
    QByteArray record = uid;
    record.resize(IdentityLength, '\0');
    record[MinorVersionOffset] = char(m_settings.versionMinor);
    record[MajorVersionOffset] = char(m_settings.versionMajor);
    return record;
}

QByteArray DeviceSimulator::uidForNextDevice() const
{
    QByteArray uid = m_settings.uid.left(UidLength);
    uid.resize(UidLength, '\0');
    uid[UidLength - 1] = char(quint8(uid.at(UidLength - 1)) + m_devices.size());
    return uid;
}

QByteArray DeviceSimulator::noise()
{
    // An idle host takes 0x03 as the start of an announcement, so the garbage
    // draws from the 255 other values.
    std::uniform_int_distribution<int> draw(0, 254);
    QByteArray bytes;
    bytes.reserve(m_settings.noiseBytes);
    for (int i = 0; i < m_settings.noiseBytes; ++i) {
        const int value = draw(m_random);
        bytes.append(char(value >= AnnounceByte ? value + 1 : value));
    }
    return bytes;
}

void DeviceSimulator::receiveByte(char byte, Output &out)
{
    switch (m_state) {
    case State::Announced:
        m_heardBack = true;
        receiveGreetingByte(byte);
        break;
    case State::Polling:
        if (byte == AnnounceByte)
            m_pollAnswered = true;
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
    if (byte == AnnounceByte && ++m_greetingBytes == HostGreetingLength)
        enterPolling();
}

void DeviceSimulator::receiveFrameByte(char byte, Output &out)
{
    if (m_pending != Pending::Nothing) {
        if (m_behindCount++ == 0)
            m_behindFirst = byte;
        m_behindAllEtx = m_behindAllEtx && byte == AnnounceByte;
        return;
    }
    m_frameGrew = true;
    if (m_frame.isEmpty() && byte == AnnounceByte && m_devices.last().image.isEmpty()) {
        // Perhaps a late answer to a poll: the host is still waiting for the
        // user and took our ACK for just another byte to answer.
        m_pending = Pending::PollAnswer;
        return;
    }
    if (m_frame.isEmpty() && byte == Eot) {
        m_pending = Pending::Eot;
        return;
    }
    m_frame.append(byte);
    if (m_frame.size() == FrameLength) {
        out.events |= FrameReceived;
        m_pending = Pending::Frame;
    }
}

// What waited for the line to go quiet: a frame at once, an EOT or a late
// poll answer once the line has settled. An EOT or a late poll answer with
// more behind it was noise or a damaged frame: the frame is asked for again.
void DeviceSimulator::judge(Output &out, bool settled)
{
    if (m_pending == Pending::Nothing || (m_pending != Pending::Frame && !settled))
        return;
    const Pending pending = std::exchange(m_pending, Pending::Nothing);
    const int behind = std::exchange(m_behindCount, 0);
    const bool behindAllEtx = std::exchange(m_behindAllEtx, true);
    if (m_state != State::Receiving)
        return;
    if (pending == Pending::Frame && behind > 0 && isValidFrame(m_frame)) {
        // A good frame with one stray byte behind it is asked for again; a
        // host that sent a frame or an EOT right behind it did not wait for
        // the reply, so it took some byte for one and has lost step.
        m_frame.clear();
        if (behind == 1 && m_behindFirst != Eot) {
            rejectFrame(out);
            return;
        }
        out.bytes.append(Can);
        endDevice(Outcome::OutOfStep, out);
        return;
    }
    if (pending == Pending::Frame) {
        completeFrame(out);
    } else if (behind == 0 && pending == Pending::Eot) {
        endDevice(Outcome::Completed, out);
    } else if (behindAllEtx && pending == Pending::PollAnswer) {
        enterPolling();
    } else {
        m_frame.clear();
        ++m_badFrames;
        rejectFrame(out);
    }
}

void DeviceSimulator::completeFrame(Output &out)
{
    const QByteArray frame = std::exchange(m_frame, {});
    if (!isValidFrame(frame)) {
        ++m_badFrames;
        rejectFrame(out);
        return;
    }
    const int block = nextBlockNumber();
    if (unplugsAt(block)) {
        endDevice(Outcome::Unplugged, out);
        return;
    }
    if (cancelsAt(block)) {
        out.bytes.append(Can);
        endDevice(Outcome::Cancelled, out);
        return;
    }
    if (refuseBlock(block)) {
        rejectFrame(out);
        return;
    }
    m_devices.last().image.append(frame.constData() + 1, BlockSize);
    ++m_blocksReceived;
    requestFrame(Ack, out);
}

bool DeviceSimulator::refuseBlock(int block)
{
    const bool chosen = m_settings.nakBlocks.contains(block)
        || (m_settings.nakEvery > 0 && block % m_settings.nakEvery == 0);
    if (chosen && !m_refusedBlocks.contains(block)) {
        m_refusedBlocks.insert(block);
        return true;
    }
    return m_settings.nakProbability > 0.0
        && std::bernoulli_distribution(m_settings.nakProbability)(m_random);
}

bool DeviceSimulator::unplugsAt(int block) const
{
    const int device = currentDeviceIndex() + 1;
    return unpluggedCount() == 0 && block == m_settings.unplugAtBlock
        && (m_settings.unplugDevice == 0 || device == m_settings.unplugDevice);
}

int DeviceSimulator::unpluggedCount() const
{
    return int(std::count_if(m_devices.cbegin(), m_devices.cend(),
                             [](const DeviceRecord &device) { return device.outcome == Outcome::Unplugged; }));
}

bool DeviceSimulator::cancelsAt(int block) const
{
    const int device = currentDeviceIndex() + 1;
    return block == m_settings.cancelAtBlock && device % m_settings.cancelEvery == 0;
}

void DeviceSimulator::pollTick(Output &out)
{
    if (m_pollOutstanding && !m_pollAnswered && m_quietTicks < m_settings.quietTicks)
        return;
    if (m_pollOutstanding && !m_pollAnswered) {
        // Long enough without an answer: the host swallowed the poll as the
        // byte after Download and now waits for our first ACK.
        m_state = State::Receiving;
        m_frame.clear();
        requestFrame(Ack, out);
        return;
    }
    out.bytes.append(PollByte);
    m_pollOutstanding = true;
    m_pollAnswered = false;
}

void DeviceSimulator::stalledFrameTick(Output &out)
{
    // A partial frame that did not grow during a whole tick interval will
    // never complete: the host sent a short frame.
    if (!m_frame.isEmpty() && !m_frameGrew) {
        m_frame.clear();
        ++m_badFrames;
        rejectFrame(out);
    }
    m_frameGrew = false;
}

void DeviceSimulator::enterPolling()
{
    m_state = State::Polling;
    m_pollOutstanding = false;
    m_pollAnswered = false;
    m_frame.clear();
    m_pending = Pending::Nothing;
}

void DeviceSimulator::requestFrame(char reply, Output &out)
{
    out.bytes.append(reply);
    out.events |= FrameRequested;
}

void DeviceSimulator::rejectFrame(Output &out)
{
    ++m_naksSent;
    requestFrame(Nak, out);
}

void DeviceSimulator::endDevice(Outcome outcome, Output &out)
{
    m_devices.last().outcome = outcome;
    out.events |= DeviceFinished;
    if (outcome == Outcome::Unplugged) {
        out.events |= UnplugRequested;
        if (m_settings.replugAfterUnplug) {
            m_state = State::Unplugged;
            return;
        }
    }
    // A device that was unplugged and replaced is not one of those asked for.
    const int countedDevices = int(m_devices.size()) - unpluggedCount();
    const bool last = outcome == Outcome::Unplugged || countedDevices >= m_settings.deviceCount;
    m_state = last ? State::Finished : State::BetweenDevices;
    if (last)
        out.events |= AllDone;
}

int DeviceSimulator::nextBlockNumber() const
{
    return int(m_devices.last().image.size() / BlockSize) + 1;
}
