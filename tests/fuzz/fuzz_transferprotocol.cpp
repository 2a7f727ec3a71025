// Drives the host side of the transfer with arbitrary device traffic, user
// actions and time, and checks every reply, event, state, figure and wake-up
// against a reference model of the host that is written here from the rules
// of the line alone (docs/protocol.md and the timing rules of
// TransferProtocol). Any disagreement aborts with a description on stderr.
//
// The input is a setup byte, then a stream of operations: an opcode byte
// (taken modulo 11) and its arguments. Bytes past the end of the input read as
// 0. Time starts at 0 and moves only by operations 4, 9 and 10.
//   setup           bit 0: the NAK limit on, for the whole input (kavri-flash
//                   sets it once); bit 1: through the driver, a SerialTransfer on
//                   a fake port, else the protocol fed directly; bits 2-7: the
//                   silence limit in units of 4 ms (0: none)
//   0 n bytes...    n%64+1 bytes from the device
//   1 p             (p>>2)+1 copies of ETX/ACK/NAK/CAN (chosen by p&3)
//   2 n symbols...  n%64+1 bytes, each ETX/ACK/NAK/CAN by symbol&3
//   3 n r bytes...  n%64+1 bytes repeated r%32+1 times
//   4 k g           from now on the device's bytes reach the host at most k%8
//                   at a time (0: all at once), each piece g*250 us after the
//                   one before (g = 0: all at the same moment)
//   5 a b s         Download pressed with an image of 1024*((a&0x7F)%5+1) bytes
//                   if a&0x80, else of ((a<<8)|b)%5121 bytes; content by s&3
//   6               Download pressed with an image that cannot be had: the
//                   protocol is reset at the start byte (through the driver: the
//                   image's source reports it unreadable)
//   7               the Download request withdrawn
//   8 w             the line lost: the protocol reset and the line opened again
//                   at once; through the driver, the port reports a
//                   ResourceError (w odd) or the driver drops the line (w even)
//   9 a b           nothing comes for a while; the host is woken whenever it
//                   asked to be meanwhile. The while is a%128 ms and b us, or,
//                   if a&0x80, b%8-4 us off one of the line's limits (by a&3:
//                   the silence before an announcement, the gap that ends a
//                   record, a frame in flight, a frame's air time and the
//                   margin of the end watch), where a rule changes
//   10 a b          the same, but the host is busy meanwhile: what it asked
//                   to be woken for waits for the next operation, and bytes
//                   that come then are read before it
// tests/fuzz/make_corpus.py writes seeds in this encoding.

#include "serialtransfer.h"
#include "transferprotocol.h"

#include <QAbstractEventDispatcher>
#include <QByteArray>
#include <QByteArrayView>
#include <QCoreApplication>
#include <QSerialPort>
#include <QTimerEvent>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <dlfcn.h>

namespace {

using State = TransferProtocol::State;
using Event = TransferProtocol::Event;

// The line's bytes and sizes are spelled out here rather than taken from the
// protocol, so that a wrong constant there shows up as a disagreement.
constexpr char ETX = 0x03, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;
constexpr char symbols[] = {ETX, ACK, NAK, CAN};
constexpr char greeting[] = {ETX, ETX, ETX, ETX, ETX, ETX, ETX, ETX};
constexpr int identityLength = 16;
constexpr int payloadLength = 1024;
constexpr int frameLength = 1 + payloadLength + 2;
constexpr int naksToGiveUp = 10;
constexpr int contentCount = 4;
constexpr int largestImage = 5 * payloadLength;

// The line's timing, in microseconds. A frame crosses the line at 115200 baud,
// ten bits a byte, in frameAirUs (rounded down); an adapter may hold bytes
// 20 ms more.
constexpr qint64 frameAirUs = qint64(frameLength) * 10 * 1'000'000 / 115200;
constexpr qint64 frameInFlightUs = frameAirUs + 20'000;
constexpr qint64 quietBeforeAnnouncementUs = 20'000;
constexpr qint64 recordGapUs = 30'000;
constexpr qint64 endWatchMarginUs = 50'000;
// The most the driver reads from its port at once: each read is handled to
// its end, with what its time brings, before the next.
constexpr qsizetype driverReadSize = 1024;

// The input's time, in microseconds since the run began. The protocol is fed
// it; the driver reads it from its clocks (see clock_gettime() below).
qint64 nowUs = 0;
bool clockFromInput = false;

[[noreturn]] void fail(const char *format, ...)
{
    std::fputs("fuzz_transferprotocol: ", stderr);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fputc('\n', stderr);
    std::abort();
}

const char *stateName(State state)
{
    switch (state) {
    case State::Idle: return "Idle";
    case State::ReadingIdentity: return "ReadingIdentity";
    case State::AwaitingStart: return "AwaitingStart";
    case State::StartPending: return "StartPending";
    case State::Transferring: return "Transferring";
    }
    return "?";
}

const char *eventName(Event event)
{
    switch (event) {
    case Event::None: return "None";
    case Event::Identified: return "Identified";
    case Event::ImageWanted: return "ImageWanted";
    case Event::BlockSent: return "BlockSent";
    case Event::Ended: return "Ended";
    case Event::Silent: return "Silent";
    }
    return "?";
}

std::string hex(QByteArrayView bytes, qsizetype limit = 24)
{
    std::string text = bytes.first(std::min(limit, bytes.size())).toByteArray().toHex(' ').toStdString();
    return bytes.size() > limit ? text + " ..." : text;
}

// Where two byte strings first differ, for a message.
std::string firstDifference(QByteArrayView got, QByteArrayView expected)
{
    qsizetype at = 0;
    while (at < got.size() && at < expected.size() && got[at] == expected[at])
        ++at;
    const auto byteAt = [at](QByteArrayView bytes) {
        return at < bytes.size() ? "0x" + hex(bytes.sliced(at, 1)) : std::string("nothing");
    };
    return "first difference at byte " + std::to_string(at) + ": got " + byteAt(got) + ", expected "
        + byteAt(expected);
}

// CRC-16/XMODEM bit by bit, as the wire rules give it.
quint16 crc16(const char *bytes, int count)
{
    quint16 crc = 0;
    while (count--) {
        crc ^= quint16(quint8(*bytes++) << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
    }
    return crc;
}

// An image handed to the host: the last size bytes of one of a few blocks of
// memory made once. Their bytes differ from block to block and byte to byte
// and are rarely zero, so a wrong offset or a stale tail shows in a payload,
// and a read past an image's end runs off its allocation, where
// AddressSanitizer sees it. Images come from memory only, and no image costs
// an allocation.
struct Image
{
    QByteArray bytes;
    int content = 0;
};

class ImageStore
{
public:
    ImageStore()
    {
        quint32 state = 0x9E3779B9u;
        for (auto &block : memory) {
            block = std::make_unique<char[]>(largestImage);
            for (int i = 0; i < largestImage; ++i) {
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                block[i] = char(state >> 24);
            }
        }
        checksums.fill(-1);
    }

    Image image(int content, int size) const
    {
        return {QByteArray::fromRawData(memory[content].get() + largestImage - size, size), content};
    }

    // The checksum of a payload cut from image at offset, remembered across
    // runs: each is worked out bit by bit once.
    quint16 checksum(const Image &image, qsizetype offset, const char *payload)
    {
        qint32 &known = checksums[image.content * largestImage + largestImage - image.bytes.size() + offset];
        if (known < 0)
            known = crc16(payload, payloadLength);
        return quint16(known);
    }

private:
    std::array<std::unique_ptr<char[]>, contentCount> memory;
    std::array<qint32, contentCount * largestImage> checksums;
};

ImageStore &images()
{
    static ImageStore store;
    return store;
}

// What a correct host does, worked out from the device's bytes with the time
// they came, the user's actions and the time that passes, with the figures of
// the current (or last) download. It is fed as the protocol is: the bytes of
// one read, all come at one moment, handled up to the first that draws
// something, and again with the rest.
class ReferenceHost
{
public:
    struct Drawn
    {
        QByteArrayView reply; // valid until the next feed
        Event event = Event::None;
        const char *what = "nothing";
        qsizetype consumed = 0; // bytes of the read it took
        bool draws() const { return event != Event::None || !reply.isEmpty(); }
    };

    ReferenceHost(bool nakLimitOn, qint64 silenceLimitUs)
        : nakLimitOn(nakLimitOn)
        , silenceLimitUs(silenceLimitUs)
    {
    }

    // The silence an announcement needs, and the silence limit, count from here.
    void lineOpened(qint64 at)
    {
        lastByteUs = at;
        silenceSaid = false;
    }

    Drawn feed(QByteArrayView bytes, qint64 at)
    {
        // A pause in what is held, before the next byte: no announcement.
        if (!held.empty() && at - lastByteUs >= recordGapUs)
            release();
        while (!replay.empty()) {
            const char byte = replay.front();
            replay.erase(0, 1);
            if (const Drawn drawn = inState(byte, heldAtUs, at); drawn.draws())
                return drawn;
        }
        if (std::exchange(greetingOwed, false))
            return greet();
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            Drawn drawn = arrive(bytes[i], at);
            if (drawn.draws()) {
                drawn.consumed = i + 1;
                return drawn;
            }
        }
        // What the time alone brings, judged once the bytes read at it are
        // handled: they may have come before it.
        Drawn drawn;
        if (watching() && at >= watchUntilUs)
            drawn = end(TransferResult::Ok, {}, "nothing: the EOT watched long enough");
        else if (silenceLimitUs > 0 && !silenceSaid && at - lastByteUs >= silenceLimitUs) {
            silenceSaid = true;
            drawn = {{}, Event::Silent, "nothing: the silence limit"};
        }
        drawn.consumed = bytes.size();
        return drawn;
    }

    // When the time alone will draw something; -1 for never.
    qint64 wakeAtUs() const
    {
        qint64 wake = -1;
        const auto earliest = [&wake](qint64 at) { wake = wake < 0 ? at : std::min(wake, at); };
        if (!held.empty())
            earliest(lastByteUs + recordGapUs);
        if (watching())
            earliest(watchUntilUs);
        if (silenceLimitUs > 0 && !silenceSaid)
            earliest(lastByteUs + silenceLimitUs);
        return wake;
    }

    // Download pressed; an image that cannot be had when the device starts
    // is refused then. Nothing changes during a transfer.
    void press(const Image &image, bool refused)
    {
        if (current == State::Transferring)
            return;
        armed = image;
        armedRefused = refused;
        if (current == State::AwaitingStart)
            current = State::StartPending;
    }

    void withdraw()
    {
        if (current == State::StartPending)
            current = State::AwaitingStart;
    }

    // Back to Idle, whatever was held forgotten. Returns whether the EOT was
    // being watched.
    bool lose()
    {
        const bool wasWatching = watching();
        current = State::Idle;
        forgetHeld();
        watchUntilUs = -1;
        return wasWatching;
    }

    State state() const { return current; }
    bool watching() const { return watchUntilUs >= 0; }
    // The record of the last device announced, once its last byte is in.
    QByteArrayView identity() const { return QByteArrayView(record.data(), qsizetype(record.size())); }
    TransferResult result() const { return lastResult; }
    const Image &image() const { return sending; }
    int naksAnswered() const { return resends; }
    int noiseBytes() const { return noise; }
    int blocksSent() const { return framesSent; }
    int blocksAcknowledged() const { return framesAcked; }
    qsizetype bytesAcknowledged() const { return std::min(qsizetype(framesAcked) * payloadLength, imageSize()); }
    QByteArrayView imageSent() const
    {
        return QByteArrayView(sending.bytes).first(std::min(qsizetype(framesSent) * payloadLength, imageSize()));
    }
    // The share of the image that went out; all of an empty one.
    int progressPercent() const
    {
        return imageSize() == 0 ? 100 : int(imageSent().size() * 100 / imageSize());
    }

private:
    // A byte as it comes off the line. An 0x03 after silence may open an
    // announcement, in any state: it and what follows are held until the
    // record is whole or the line pauses.
    Drawn arrive(char byte, qint64 at)
    {
        const bool afterSilence = at - lastByteUs >= quietBeforeAnnouncementUs;
        lastByteUs = at;
        silenceSaid = false;
        if (!held.empty()) {
            held += byte;
            return held.size() == 1 + identityLength ? announced() : Drawn{};
        }
        if (byte != ETX || !afterSilence)
            return inState(byte, at, at);
        held.assign(1, ETX);
        heldAtUs = at;
        // A device waiting for the start polls with any byte, 0x03 too, and
        // must hear back at once.
        answeredFirst = current == State::AwaitingStart;
        if (current == State::Idle)
            current = State::ReadingIdentity;
        if (answeredFirst)
            return {QByteArrayView(&ETX, 1), Event::None, "the ETX answering a poll that may open an announcement"};
        return {};
    }

    // A whole announcement: a new device. The download under way ends first,
    // OK if its EOT was out, else out of step.
    Drawn announced()
    {
        record = held.substr(1);
        held.clear();
        if (current != State::Transferring)
            return greet();
        greetingOwed = true;
        return watching() ? end(TransferResult::Ok, {}, "nothing: the next device after the EOT")
                          : end(TransferResult::OutOfStep, {}, "nothing: a device announced mid-transfer");
    }

    Drawn greet()
    {
        current = State::AwaitingStart;
        return {QByteArrayView(greeting, sizeof greeting), Event::Identified, "the greeting"};
    }

    // The held bytes were no announcement: they are handled as they came,
    // all at the time of the first, except a record cut off, which is dropped.
    void release()
    {
        const std::string bytes = std::exchange(held, {});
        if (current == State::ReadingIdentity)
            current = State::Idle;
        else
            replay = bytes.substr(answeredFirst ? 1 : 0);
    }

    void forgetHeld()
    {
        held.clear();
        replay.clear();
        greetingOwed = false;
    }

    // A byte that came at arrivedAt, handled at now: later when it was held.
    Drawn inState(char byte, qint64 arrivedAt, qint64 now)
    {
        switch (current) {
        case State::Idle:
        case State::ReadingIdentity:
            return {};
        case State::AwaitingStart:
            return {QByteArrayView(&ETX, 1), Event::None, "the ETX answering a poll"};
        case State::StartPending:
            start();
            return {{}, Event::ImageWanted, "nothing: the start byte"};
        case State::Transferring:
            return answer(byte, arrivedAt, now);
        }
        return {};
    }

    void start()
    {
        if (armedRefused) {
            current = State::Idle;
            forgetHeld();
            return;
        }
        current = State::Transferring;
        sending = armed;
        framesSent = 0;
        framesAcked = 0;
        resends = 0;
        refusedInARow = 0;
        noise = 0;
        slowestAnswerUs = 0;
    }

    Drawn answer(char byte, qint64 arrivedAt, qint64 now)
    {
        const bool reply = byte == ACK || byte == NAK || byte == CAN;
        if (watching()) {
            if (reply)
                return end(TransferResult::OutOfStep, {}, "nothing: a reply after the EOT");
            ++noise;
            return {};
        }
        switch (byte) {
        case ACK:
            // Takes the frame before (if any) and asks for the next one.
            timeAnswer(arrivedAt);
            framesAcked = framesSent;
            refusedInARow = 0;
            if (qsizetype(framesSent) * payloadLength >= imageSize()) {
                watchUntilUs = now + std::max(frameAirUs, slowestAnswerUs) + endWatchMarginUs;
                return {QByteArrayView(&EOT, 1), Event::None, "EOT after the last frame"};
            }
            formFrame();
            ++framesSent;
            frameOutUs = now;
            return {QByteArrayView(frame.data(), frameLength), Event::BlockSent, "the next frame"};
        case NAK:
            if (framesSent == 0)
                return notAReply(arrivedAt); // nothing to repeat yet
            timeAnswer(arrivedAt);
            if (nakLimitOn && ++refusedInARow == naksToGiveUp)
                return end(TransferResult::NakLimit, {}, "nothing: the NAK limit reached");
            ++resends;
            frameOutUs = now;
            return {QByteArrayView(frame.data(), frameLength), Event::None, "the same frame again"};
        case CAN:
            return end(TransferResult::Canceled, {}, "nothing: CAN obeyed");
        default:
            return notAReply(arrivedAt);
        }
    }

    // Noise before the first frame and while a frame may still be on the
    // line; once it is across the device owes a reply, and anything else
    // shows it lost count.
    Drawn notAReply(qint64 at)
    {
        if (framesSent > 0 && at - frameOutUs >= frameInFlightUs)
            return end(TransferResult::OutOfStep, {}, "nothing: no reply to a frame that is across");
        ++noise;
        return {};
    }

    // How long the device took to answer the frame last written.
    void timeAnswer(qint64 at)
    {
        if (framesSent > 0)
            slowestAnswerUs = std::max(slowestAnswerUs, at - frameOutUs);
    }

    Drawn end(TransferResult result, QByteArrayView reply, const char *what)
    {
        current = State::Idle;
        lastResult = result;
        watchUntilUs = -1;
        return {reply, Event::Ended, what};
    }

    // STX, the block's bytes zero-filled to a whole payload, the checksum high byte first.
    void formFrame()
    {
        const qsizetype offset = qsizetype(framesSent) * payloadLength;
        const qsizetype count = std::min<qsizetype>(payloadLength, imageSize() - offset);
        char *payload = frame.data() + 1;
        frame[0] = STX;
        std::memcpy(payload, sending.bytes.constData() + offset, size_t(count));
        std::memset(payload + count, 0, size_t(payloadLength - count));
        const quint16 crc = images().checksum(sending, offset, payload);
        payload[payloadLength] = char(crc >> 8);
        payload[payloadLength + 1] = char(crc & 0xFF);
    }

    qsizetype imageSize() const { return sending.bytes.size(); }

    const bool nakLimitOn;
    const qint64 silenceLimitUs;
    State current = State::Idle;
    // A line never opened went quiet just long enough before the clock's
    // zero for an announcement.
    qint64 lastByteUs = -quietBeforeAnnouncementUs;
    bool silenceSaid = false;
    std::string held;   // an 0x03 after silence and what came after it
    qint64 heldAtUs = 0;
    bool answeredFirst = false;
    std::string replay; // held bytes still to be handled as they came
    bool greetingOwed = false;
    std::string record = std::string(identityLength, '\0');
    Image armed;
    bool armedRefused = false;
    Image sending; // of the current (or last) download
    int framesSent = 0;
    int framesAcked = 0;
    int resends = 0;
    int refusedInARow = 0;
    int noise = 0;
    qint64 frameOutUs = 0; // when the last frame (or its repeat) was written
    qint64 slowestAnswerUs = 0;
    qint64 watchUntilUs = -1; // the EOT is out: silence until then makes it OK
    TransferResult lastResult = TransferResult::Ok;
    std::array<char, frameLength> frame{};
};

// The protocol fed directly, as a driver feeds it: each step's reply, event
// and extent compared with what the model draws from the same bytes at the
// same time, and every figure and the wake-up time after it.
class ProtocolHost
{
public:
    ProtocolHost(bool nakLimitOn, qint64 silenceLimitUs)
        : model(nakLimitOn, silenceLimitUs)
    {
        protocol.setNakLimitOn(nakLimitOn);
        protocol.setSilenceLimit(silenceLimitUs);
    }

    void receive(QByteArrayView bytes, int piece)
    {
        while (!bytes.isEmpty()) {
            const QByteArrayView offered = piece ? bytes.first(std::min<qsizetype>(piece, bytes.size())) : bytes;
            feed(offered);
            bytes = bytes.sliced(offered.size());
        }
    }

    // Nothing comes until untilUs; the protocol is fed whenever the model
    // says time alone draws something.
    void pause(qint64 untilUs)
    {
        for (qint64 wake; (wake = model.wakeAtUs()) >= 0 && wake <= untilUs;) {
            nowUs = std::max(nowUs, wake);
            feed({});
        }
        nowUs = untilUs;
    }

    void press(const Image &image, bool refused)
    {
        model.press(image, refused);
        armed = image;
        armedRefused = refused;
        protocol.requestDownload();
        check("Download pressed");
    }

    void withdraw()
    {
        model.withdraw();
        protocol.withdrawDownload();
        check("Download withdrawn");
    }

    void lose(uint8_t)
    {
        model.lose();
        protocol.reset();
        model.lineOpened(nowUs);
        protocol.lineOpened(nowUs);
        check("the line lost and opened again");
    }

private:
    // One read, fed until it is used up and nothing more is drawn.
    void feed(QByteArrayView bytes)
    {
        TransferProtocol::Step step;
        do {
            const State before = model.state();
            step = protocol.feed(bytes, nowUs);
            const ReferenceHost::Drawn drawn = model.feed(bytes, nowUs);
            if (step.consumed != drawn.consumed || step.event != drawn.event || step.reply != drawn.reply)
                fail("fed %lld bytes (%s) at %lld us in %s: the protocol took %lld and answered %lld bytes "
                     "with event %s; the model takes %lld, drawing %s (%lld bytes), event %s.\n  Reply: %s",
                     qint64(bytes.size()), hex(bytes).c_str(), nowUs, stateName(before), qint64(step.consumed),
                     qint64(step.reply.size()), eventName(step.event), qint64(drawn.consumed), drawn.what,
                     qint64(drawn.reply.size()), eventName(drawn.event),
                     firstDifference(step.reply, drawn.reply).c_str());
            react(step.event);
            check("a step");
            bytes = bytes.sliced(step.consumed);
        } while (step.drewSomething() || !bytes.isEmpty());
    }

    void react(Event event)
    {
        switch (event) {
        case Event::Identified:
            if (QByteArrayView(protocol.identity()) != model.identity())
                fail("identity %s, the model's %s", hex(protocol.identity()).c_str(),
                     hex(model.identity()).c_str());
            break;
        case Event::ImageWanted:
            if (armedRefused)
                protocol.reset();
            else
                protocol.begin(armed.bytes);
            break;
        case Event::Ended:
            if (protocol.result() != model.result())
                fail("download ended with result %d, the model's %d", int(protocol.result()),
                     int(model.result()));
            break;
        case Event::None:
        case Event::BlockSent:
        case Event::Silent:
            break;
        }
    }

    void check(const char *after)
    {
        if (protocol.state() != model.state() || protocol.watchingEnd() != model.watching())
            fail("after %s at %lld us: the protocol is in %s%s, the model in %s%s", after, nowUs,
                 stateName(protocol.state()), protocol.watchingEnd() ? " watching the end" : "",
                 stateName(model.state()), model.watching() ? " watching the end" : "");
        if (protocol.wakeAtUs() != model.wakeAtUs())
            fail("after %s at %lld us: the protocol wants a wake-up at %lld us, the model at %lld us", after,
                 nowUs, protocol.wakeAtUs(), model.wakeAtUs());
        if (protocol.naksAnswered() != model.naksAnswered() || protocol.noiseBytes() != model.noiseBytes()
            || protocol.blocksSent() != quint32(model.blocksSent())
            || protocol.blocksAcknowledged() != model.blocksAcknowledged()
            || protocol.bytesAcknowledged() != quint64(model.bytesAcknowledged())
            || protocol.progressPercent() != model.progressPercent())
            fail("after %s: NAKs answered, noise, blocks sent and acknowledged, bytes acknowledged, percent: "
                 "protocol %d %d %u %d %llu %d%%, model %d %d %d %d %lld %d%% (image of %lld bytes)",
                 after, protocol.naksAnswered(), protocol.noiseBytes(), protocol.blocksSent(),
                 protocol.blocksAcknowledged(), protocol.bytesAcknowledged(), protocol.progressPercent(),
                 model.naksAnswered(), model.noiseBytes(), model.blocksSent(), model.blocksAcknowledged(),
                 qint64(model.bytesAcknowledged()), model.progressPercent(), qint64(model.image().bytes.size()));
        if (protocol.imageSent() != model.imageSent())
            fail("after %s: image sent of %lld bytes, the model's of %lld; %s", after,
                 qint64(protocol.imageSent().size()), qint64(model.imageSent().size()),
                 firstDifference(protocol.imageSent(), model.imageSent()).c_str());
    }

    ReferenceHost model;
    TransferProtocol protocol;
    Image armed;
    bool armedRefused = false;
};

// A serial port with no device behind it, opened and closed as a plain
// QIODevice: it hands out the bytes given to arrive() at most piece at a time,
// announcing them with readyRead(), and keeps what is written to it.
class FakePort : public QSerialPort
{
public:
    FakePort() { open(QIODevice::ReadWrite); }
    ~FakePort() override { close(); } // QSerialPort's own close() would look for a device

    bool open(OpenMode mode) override { return QIODevice::open(mode | QIODevice::Unbuffered); }
    void close() override { QIODevice::close(); }
    qint64 bytesAvailable() const override { return arriving.size(); }

    void arrive(QByteArrayView bytes, int piece)
    {
        arriving = bytes;
        pieceSize = piece;
        emit readyRead();
    }

    std::string written;

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        qsizetype count = std::min(qsizetype(maxSize), arriving.size());
        if (pieceSize)
            count = std::min<qsizetype>(count, pieceSize);
        std::copy_n(arriving.data(), count, data); // nothing, on a wake-up
        arriving = arriving.sliced(count);
        return count;
    }

    qint64 writeData(const char *data, qint64 size) override
    {
        written.append(data, size_t(size));
        return size;
    }

private:
    QByteArrayView arriving;
    int pieceSize = 0; // 0: as much as is asked for
};

// A signal of the driver.
struct Signal
{
    enum Kind { Identified, Started, Progress, Ended, Silent, Lost };

    Signal(Kind kind, int value = 0, const QByteArray &identity = {})
        : kind(kind)
        , value(value)
        , identity(identity)
    {
    }

    Kind kind;
    int value;           // percent, result or state when lost
    QByteArray identity; // Identified only

    bool operator==(const Signal &other) const
    {
        return kind == other.kind && value == other.value && identity == other.identity;
    }

    std::string text() const
    {
        switch (kind) {
        case Identified: return "identified(" + hex(identity) + ")";
        case Started: return "transferStarted";
        case Progress: return "progressChanged(" + std::to_string(value) + ")";
        case Ended: return "downloadEnded(" + std::to_string(value) + ")";
        case Silent: return "silent";
        case Lost: return std::string("lost(") + stateName(State(value)) + ")";
        }
        return "?";
    }
};

std::string signalsText(const std::vector<Signal> &list)
{
    std::string text;
    for (const Signal &signal : list)
        text += (text.empty() ? "" : ", ") + signal.text();
    return text.empty() ? "none" : text;
}

// The event dispatcher of the fuzzer's thread. No event loop runs: it keeps
// the one timer the driver starts, its wake-up, due on the input's time, and
// the harness fires it when that time comes, as an event loop would.
class WakeDispatcher : public QAbstractEventDispatcher
{
public:
    struct Timer
    {
        int id = 0; // 0: none running
        qint64 dueUs = -1;
        QObject *object = nullptr;
    };
    Timer timer;

    void fire()
    {
        QTimerEvent event(timer.id);
        timer.object->event(&event);
    }

    void registerTimer(int id, qint64 intervalMs, Qt::TimerType, QObject *object) override
    {
        if (timer.id != 0)
            fail("a second timer started while the wake-up runs");
        timer = {id, nowUs + intervalMs * 1000, object};
    }
    bool unregisterTimer(int id) override { return id == timer.id && std::exchange(timer, {}).id; }
    bool unregisterTimers(QObject *object) override { return object == timer.object && unregisterTimer(timer.id); }
    QList<TimerInfo> registeredTimers(QObject *object) const override
    {
        if (timer.id == 0 || object != timer.object)
            return {};
        return {TimerInfo(timer.id, remainingMs(), Qt::PreciseTimer)};
    }
    int remainingTime(int id) override { return id == timer.id ? remainingMs() : -1; }
    bool processEvents(QEventLoop::ProcessEventsFlags) override { return false; }
    void registerSocketNotifier(QSocketNotifier *) override {}
    void unregisterSocketNotifier(QSocketNotifier *) override {}
    void wakeUp() override {}
    void interrupt() override {}

private:
    int remainingMs() const { return int((timer.dueUs - nowUs + 999) / 1000); }
};

WakeDispatcher &dispatcher()
{
    static WakeDispatcher *const installed = [] {
        auto *made = new WakeDispatcher; // the thread's for good: never deleted
        QCoreApplication::setEventDispatcher(made);
        return made;
    }();
    return *installed;
}

// The driver the dialog and kavri-flash use, on a fake port, reading the
// input's time: what it writes and signals after each operation compared with
// what the model says, its state with the model's, its wake-up with the
// model's wake-up time. It reads bytes and reports a start, progress and an
// end in its own way: progress once per arrival or wake-up, after the bytes
// that moved it, 0 when a transfer starts; an image it cannot read ends the
// download; a line lost while the EOT is watched ends the download OK.
class DriverHost
{
public:
    DriverHost(bool nakLimitOn, qint64 silenceLimitUs)
        : model(nakLimitOn, silenceLimitUs)
    {
        dispatcher(); // in place before the driver starts its timer
        transfer.setNakLimitOn(nakLimitOn);
        transfer.setSilenceLimit(int(silenceLimitUs / 1000));
        QObject::connect(&transfer, &SerialTransfer::identified, [this](const QByteArray &identity) {
            seen.emplace_back(Signal::Identified, 0, identity);
        });
        QObject::connect(&transfer, &SerialTransfer::transferStarted,
                         [this] { seen.push_back({Signal::Started}); });
        QObject::connect(&transfer, &SerialTransfer::progressChanged,
                         [this](int percent) { seen.push_back({Signal::Progress, percent}); });
        QObject::connect(&transfer, &SerialTransfer::downloadEnded,
                         [this](TransferResult result) { seen.push_back({Signal::Ended, int(result)}); });
        QObject::connect(&transfer, &SerialTransfer::silent, [this] { seen.push_back({Signal::Silent}); });
        QObject::connect(&transfer, &SerialTransfer::lost, [this](const QString &, State stateWhenLost) {
            if (port.isOpen() || transfer.state() != State::Idle)
                fail("lost() with the port %s and the protocol in %s", port.isOpen() ? "open" : "closed",
                     stateName(transfer.state()));
            seen.push_back({Signal::Lost, int(stateWhenLost)});
        });
        // The port is open already, without open(): its first wake-up is
        // asked for here, with nothing to read.
        expectReceive({}, 0);
        transfer.receive();
        check("the start");
    }

    void receive(QByteArrayView bytes, int piece)
    {
        expectReceive(bytes, piece);
        port.arrive(bytes, piece);
        if (port.bytesAvailable() != 0)
            fail("the driver left %lld of %lld bytes unread", port.bytesAvailable(), qint64(bytes.size()));
        check("bytes arrived");
    }

    // Nothing comes until untilUs; the driver's wake-up fires when it is due.
    void pause(qint64 untilUs)
    {
        for (const WakeDispatcher::Timer &wake = dispatcher().timer; wake.id && wake.dueUs <= untilUs;) {
            nowUs = std::max(nowUs, wake.dueUs); // late, after a busy spell
            expectReceive({}, 0);
            dispatcher().fire();
            check("a wake-up");
        }
        nowUs = untilUs;
    }

    void press(const Image &image, bool refused)
    {
        model.press(image, refused);
        transfer.requestDownload([refused, bytes = image.bytes](QByteArray &sent) {
            sent = bytes;
            return refused ? TransferResult::FirmwareUnreadable : TransferResult::Ok;
        });
        check("Download pressed");
    }

    void withdraw()
    {
        model.withdraw();
        transfer.withdrawDownload();
        check("Download withdrawn");
    }

    void lose(uint8_t how)
    {
        const State before = model.state();
        const bool endedOk = model.lose();
        if (endedOk)
            expected.push_back({Signal::Ended, int(TransferResult::Ok)});
        expected.push_back({Signal::Lost, int(endedOk ? State::Idle : before)});
        if (how & 1)
            emit port.errorOccurred(QSerialPort::ResourceError);
        else
            transfer.dropLine();
        check("the line lost");
        port.open(QIODevice::ReadWrite);
    }

private:
    // What the driver's receive() draws from an arrival: it reads at most
    // driverReadSize bytes at a time (piece, when the port hands out less),
    // all at the time of the arrival, and handles each read to its end; a
    // wake-up reads nothing and is handled all the same.
    void expectReceive(QByteArrayView bytes, int piece)
    {
        const qsizetype readSize = piece ? piece : driverReadSize;
        bool moved = false;
        do {
            QByteArrayView read = bytes.first(std::min(readSize, bytes.size()));
            bytes = bytes.sliced(read.size());
            ReferenceHost::Drawn drawn;
            do {
                drawn = model.feed(read, nowUs);
                read = read.sliced(drawn.consumed);
                expectedWritten.append(drawn.reply.data(), size_t(drawn.reply.size()));
                moved |= drawn.event == Event::BlockSent;
                expect(drawn.event);
            } while (drawn.draws() || !read.isEmpty());
        } while (!bytes.isEmpty());
        if (moved)
            expected.push_back({Signal::Progress, model.progressPercent()});
    }

    void expect(Event event)
    {
        switch (event) {
        case Event::Identified:
            expected.push_back({Signal::Identified, 0, model.identity().toByteArray()});
            break;
        case Event::ImageWanted:
            if (model.state() == State::Transferring) {
                expected.push_back({Signal::Started});
                expected.push_back({Signal::Progress, 0});
            } else {
                expected.push_back({Signal::Ended, int(TransferResult::FirmwareUnreadable)});
            }
            break;
        case Event::Ended: expected.push_back({Signal::Ended, int(model.result())}); break;
        case Event::Silent: expected.push_back({Signal::Silent}); break;
        case Event::None:
        case Event::BlockSent: break;
        }
    }

    void check(const char *after)
    {
        if (port.written != expectedWritten)
            fail("after %s at %lld us: the driver wrote %zu bytes, the model %zu; %s", after, nowUs,
                 port.written.size(), expectedWritten.size(),
                 firstDifference(QByteArrayView(port.written), QByteArrayView(expectedWritten)).c_str());
        if (seen != expected)
            fail("after %s at %lld us: the driver signalled [%s], the model expected [%s]", after, nowUs,
                 signalsText(seen).c_str(), signalsText(expected).c_str());
        if (transfer.state() != model.state())
            fail("after %s: the driver's protocol is in %s, the model in %s", after, stateName(transfer.state()),
                 stateName(model.state()));
        // Woken never before the model's time, and within the millisecond
        // after it (or after now, when it passed while the host was busy).
        const qint64 wake = model.wakeAtUs();
        const WakeDispatcher::Timer &timer = dispatcher().timer;
        if ((timer.id != 0) != (wake >= 0)
            || (wake >= 0 && (timer.dueUs < wake || timer.dueUs >= std::max(wake, nowUs) + 1000)))
            fail("after %s at %lld us: the driver's wake-up is %s %lld us, the model's time %lld us", after, nowUs,
                 timer.id ? "due at" : "off,", timer.dueUs, wake);
        port.written.clear();
        expectedWritten.clear();
        seen.clear();
        expected.clear();
    }

    ReferenceHost model;
    std::string expectedWritten;
    std::vector<Signal> seen;
    std::vector<Signal> expected;
    FakePort port;
    SerialTransfer transfer{port};
};

// Reads the fuzz input as arguments; past the end every byte reads as 0.
class InputReader
{
public:
    InputReader(const uint8_t *data, size_t size)
        : input(reinterpret_cast<const char *>(data), qsizetype(size))
    {
    }

    bool exhausted() const { return input.isEmpty(); }
    uint8_t next()
    {
        if (exhausted())
            return 0;
        const uint8_t byte = uint8_t(input.front());
        input = input.sliced(1);
        return byte;
    }
    QByteArrayView take(int count)
    {
        const QByteArrayView taken = input.first(std::min<qsizetype>(count, input.size()));
        input = input.sliced(taken.size());
        return taken;
    }

private:
    QByteArrayView input;
};

// How long a pause lasts, in microseconds.
qint64 readWhile(InputReader &input)
{
    static constexpr qint64 limits[] = {quietBeforeAnnouncementUs, recordGapUs, frameInFlightUs,
                                        frameAirUs + endWatchMarginUs};
    const uint8_t a = input.next();
    const int b = input.next();
    if (a & 0x80)
        return limits[a & 3] + b % 8 - 4;
    return (a & 0x7F) * 1000 + b;
}

template<typename Host>
void run(InputReader &input, Host &host)
{
    QByteArray bytes; // made up by an operation
    int piece = 0;
    qint64 pieceGapUs = 0;
    const auto receive = [&](QByteArrayView received) {
        if (received.isEmpty())
            return;
        if (piece == 0 || pieceGapUs == 0) {
            host.receive(received, piece);
            return;
        }
        for (qsizetype at = 0; at < received.size(); at += piece) {
            if (at > 0)
                host.pause(nowUs + pieceGapUs);
            host.receive(received.sliced(at, std::min<qsizetype>(piece, received.size() - at)), 0);
        }
    };
    while (!input.exhausted()) {
        const int operation = input.next() % 11;
        switch (operation) {
        case 0:
            receive(input.take(input.next() % 64 + 1));
            break;
        case 1: {
            const uint8_t p = input.next();
            bytes.fill(symbols[p & 3], (p >> 2) + 1);
            receive(bytes);
            break;
        }
        case 2: {
            const QByteArrayView taken = input.take(input.next() % 64 + 1);
            bytes.resize(taken.size());
            std::transform(taken.begin(), taken.end(), bytes.begin(),
                           [](char byte) { return symbols[byte & 3]; });
            receive(bytes);
            break;
        }
        case 3: {
            const int length = input.next() % 64 + 1;
            const int repeats = input.next() % 32 + 1;
            const QByteArrayView taken = input.take(length);
            bytes.resize(taken.size() * repeats);
            for (qsizetype at = 0; at < bytes.size(); at += taken.size())
                std::memcpy(bytes.data() + at, taken.data(), size_t(taken.size()));
            receive(bytes);
            break;
        }
        case 4:
            piece = input.next() % 8;
            pieceGapUs = input.next() * 250;
            break;
        case 5: {
            const uint8_t a = input.next();
            const uint8_t b = input.next();
            const int size = (a & 0x80) ? payloadLength * ((a & 0x7F) % 5 + 1)
                                        : ((a << 8) | b) % (largestImage + 1);
            host.press(images().image(input.next() % contentCount, size), false);
            break;
        }
        case 6:
            host.press({}, true);
            break;
        case 7:
            host.withdraw();
            break;
        case 8:
            host.lose(input.next());
            break;
        case 9:
        case 10: {
            const qint64 until = nowUs + readWhile(input);
            if (operation == 9)
                host.pause(until);
            else
                nowUs = until;
            break;
        }
        }
    }
}

} // namespace

// The driver's clocks (QElapsedTimer) read the monotonic clock; during a run
// it reads the input's time instead, so that the driver sees the same gaps
// and pauses as the protocol fed directly. libFuzzer times itself by the wall
// clock, which is left alone.
extern "C" int clock_gettime(clockid_t clock, timespec *time)
{
    if (clock == CLOCK_MONOTONIC && clockFromInput) {
        time->tv_sec = time_t(nowUs / 1'000'000);
        time->tv_nsec = long(nowUs % 1'000'000 * 1000);
        return 0;
    }
    using ClockGetTime = int (*)(clockid_t, timespec *);
    static const auto system = reinterpret_cast<ClockGetTime>(dlsym(RTLD_NEXT, "clock_gettime"));
    return system(clock, time);
}

// AddressSanitizer keeps freed memory aside to catch a use after free: by
// default up to 256 MB, which libFuzzer's own allocations (about 1.5 KB a
// run) fill within half a minute, and the process grows to 400 MB and more
// whatever the harness does. 8 MB is still about a thousand runs' worth of
// freed memory, so a use after free within a run is caught all the same.
extern "C" const char *__asan_default_options()
{
    return "quarantine_size_mb=8";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    InputReader input(data, size);
    const uint8_t setup = input.next();
    const bool nakLimitOn = setup & 1;
    const qint64 silenceLimitUs = (setup >> 2) * 4000;
    nowUs = 0;
    clockFromInput = true;
    if (setup & 2) {
        DriverHost host(nakLimitOn, silenceLimitUs);
        run(input, host);
    } else {
        ProtocolHost host(nakLimitOn, silenceLimitUs);
        run(input, host);
    }
    clockFromInput = false;
    return 0;
}
