// Drives the host side of the transfer with arbitrary device traffic and user
// actions, and checks every reply, event, state and figure against a reference
// model of the host that is written here from the rules of the line alone
// (docs/protocol.md). Any disagreement aborts with a description on stderr.
//
// The input is a setup byte, then a stream of operations: an opcode byte
// (taken modulo 9) and its arguments. Bytes past the end of the input read as 0.
//   setup           bit 0: the NAK limit on, for the whole input (kavri-flash
//                   sets it once); bit 1: through the driver, a SerialTransfer on
//                   a fake port, else the protocol fed directly
//   0 n bytes...    n%64+1 bytes from the device
//   1 p             (p>>2)+1 copies of ETX/ACK/NAK/CAN (chosen by p&3)
//   2 n symbols...  n%64+1 bytes, each ETX/ACK/NAK/CAN by symbol&3
//   3 n r bytes...  n%64+1 bytes repeated r%32+1 times
//   4 k             from now on the device's bytes reach the host at most k%8
//                   at a time (0: all at once)
//   5 a b s         Download pressed with an image of 1024*((a&0x7F)%5+1) bytes
//                   if a&0x80, else of ((a<<8)|b)%5121 bytes; content by s&3
//   6               Download pressed with an image that cannot be had: the
//                   protocol is reset at the start byte (through the driver: an
//                   unreadable file)
//   7               the Download request withdrawn
//   8 w             the line lost: the protocol reset; through the driver, the
//                   port reports a ResourceError (w odd) or the driver drops the
//                   line (w even), and the port is opened again
// tests/fuzz/make_corpus.py writes seeds in this encoding.

#include "serialtransfer.h"
#include "transferprotocol.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QSerialPort>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

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

// What a correct host does, worked out byte by byte from the device's bytes
// and the user's actions, with the figures of the current (or last) download.
class ReferenceHost
{
public:
    // What one byte from the device draws from the host.
    struct Drawn
    {
        QByteArrayView reply; // valid until the next byte
        Event event = Event::None;
        const char *what = "nothing";
        bool draws() const { return event != Event::None || !reply.isEmpty(); }
    };

    explicit ReferenceHost(bool nakLimitOn)
        : nakLimitOn(nakLimitOn)
    {
    }

    Drawn receive(char byte)
    {
        switch (current) {
        case State::Idle:
            if (byte == ETX) {
                recordLength = 0;
                current = State::ReadingIdentity;
            }
            return {};
        case State::ReadingIdentity:
            record[recordLength++] = byte;
            if (recordLength < identityLength)
                return {};
            current = State::AwaitingStart;
            return {QByteArrayView(greeting, sizeof greeting), Event::Identified, "the greeting"};
        case State::AwaitingStart:
            return {QByteArrayView(&ETX, 1), Event::None, "the ETX answering a poll"};
        case State::StartPending:
            start();
            return {{}, Event::ImageWanted, "nothing: the start byte"};
        case State::Transferring:
            return answer(byte);
        }
        return {};
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

    void lose() { current = State::Idle; }

    State state() const { return current; }
    // The record of the last device announced, once its last byte is in.
    QByteArrayView identity() const { return QByteArrayView(record.data(), identityLength); }
    TransferResult result() const { return lastResult; }
    const Image &image() const { return sending; }
    int naksAnswered() const { return resends; }
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
    void start()
    {
        if (armedRefused) {
            current = State::Idle;
            return;
        }
        current = State::Transferring;
        sending = armed;
        framesSent = 0;
        framesAcked = 0;
        resends = 0;
        refusedInARow = 0;
    }

    Drawn answer(char byte)
    {
        switch (byte) {
        case ACK:
            // Takes the frame before (if any) and asks for the next one.
            framesAcked = framesSent;
            refusedInARow = 0;
            if (qsizetype(framesSent) * payloadLength >= imageSize())
                return end(TransferResult::Ok, QByteArrayView(&EOT, 1), "EOT after the last frame");
            formFrame();
            ++framesSent;
            return {QByteArrayView(frame.data(), frameLength), Event::BlockSent, "the next frame"};
        case NAK:
            if (framesSent == 0)
                return {{}, Event::None, "nothing: a NAK before the first frame of this download"};
            if (nakLimitOn && ++refusedInARow == naksToGiveUp)
                return end(TransferResult::NakLimit, {}, "nothing: the NAK limit reached");
            ++resends;
            return {QByteArrayView(frame.data(), frameLength), Event::None, "the same frame again"};
        case CAN:
            return end(TransferResult::Canceled, {}, "nothing: CAN obeyed");
        default:
            return {};
        }
    }

    Drawn end(TransferResult result, QByteArrayView reply, const char *what)
    {
        current = State::Idle;
        lastResult = result;
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
    State current = State::Idle;
    std::array<char, identityLength> record{};
    int recordLength = 0;
    Image armed;
    bool armedRefused = false;
    Image sending; // of the current (or last) download
    int framesSent = 0;
    int framesAcked = 0;
    int resends = 0;
    int refusedInARow = 0;
    TransferResult lastResult = TransferResult::Ok;
    std::array<char, frameLength> frame{};
};

// The protocol fed directly, as a driver feeds it: each step's reply, event
// and extent compared with what the model draws from the same bytes, and every
// figure after it.
class ProtocolHost
{
public:
    ProtocolHost(ReferenceHost &model, bool nakLimitOn)
        : model(model)
    {
        protocol.setNakLimitOn(nakLimitOn);
    }

    void receive(QByteArrayView bytes, int piece)
    {
        while (!bytes.isEmpty()) {
            const QByteArrayView offered = piece ? bytes.first(std::min<qsizetype>(piece, bytes.size())) : bytes;
            const State before = model.state();
            const TransferProtocol::Step step = protocol.feed(offered);
            ReferenceHost::Drawn drawn;
            qsizetype consumed = 0;
            while (consumed < offered.size() && !drawn.draws())
                drawn = model.receive(offered[consumed++]);
            if (step.consumed != consumed || step.event != drawn.event || step.reply != drawn.reply)
                fail("fed %lld bytes (%s) in %s: the protocol took %lld and answered %lld bytes with "
                     "event %s; the model takes %lld, the last 0x%s, drawing %s (%lld bytes), event %s.\n"
                     "  Reply: %s",
                     qint64(offered.size()), hex(offered).c_str(), stateName(before), qint64(step.consumed),
                     qint64(step.reply.size()), eventName(step.event), qint64(consumed),
                     hex(offered.sliced(consumed - 1, 1)).c_str(), drawn.what, qint64(drawn.reply.size()),
                     eventName(drawn.event), firstDifference(step.reply, drawn.reply).c_str());
            react(step.event);
            check("a step");
            bytes = bytes.sliced(consumed);
        }
    }

    void press(const Image &image, bool refused)
    {
        armed = image;
        armedRefused = refused;
        protocol.requestDownload();
        check("Download pressed");
    }

    void withdraw()
    {
        protocol.withdrawDownload();
        check("Download withdrawn");
    }

    void lose(uint8_t, State)
    {
        protocol.reset();
        check("the line lost");
    }

private:
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
            break;
        }
    }

    void check(const char *after)
    {
        if (protocol.state() != model.state())
            fail("after %s: the protocol is in %s, the model in %s", after, stateName(protocol.state()),
                 stateName(model.state()));
        if (protocol.naksAnswered() != model.naksAnswered()
            || protocol.blocksAcknowledged() != model.blocksAcknowledged()
            || protocol.bytesAcknowledged() != quint64(model.bytesAcknowledged())
            || protocol.progressPercent() != model.progressPercent())
            fail("after %s: NAKs answered, blocks and bytes acknowledged, percent: protocol %d %d %llu %d%%, "
                 "model %d %d %lld %d%% (image of %lld bytes)",
                 after, protocol.naksAnswered(), protocol.blocksAcknowledged(), protocol.bytesAcknowledged(),
                 protocol.progressPercent(), model.naksAnswered(), model.blocksAcknowledged(),
                 qint64(model.bytesAcknowledged()), model.progressPercent(), qint64(model.image().bytes.size()));
        if (protocol.imageSent() != model.imageSent())
            fail("after %s: image sent of %lld bytes, the model's of %lld; %s", after,
                 qint64(protocol.imageSent().size()), qint64(model.imageSent().size()),
                 firstDifference(protocol.imageSent(), model.imageSent()).c_str());
    }

    ReferenceHost &model;
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
        std::memcpy(data, arriving.data(), size_t(count));
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
    enum Kind { Identified, Started, Progress, Ended, Lost };

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

// The driver the dialog and kavri-flash use, on a fake port: what it writes
// and signals after each operation compared with what the model says, its
// state with the model's. It reads bytes and reports a start, progress and an
// end in its own way: progress once per arrival, after the bytes that moved
// it, 0 when a transfer starts; an image it cannot read ends the download.
class DriverHost
{
public:
    DriverHost(ReferenceHost &model, bool nakLimitOn)
        : model(model)
    {
        transfer.setNakLimitOn(nakLimitOn);
        QObject::connect(&transfer, &SerialTransfer::identified, [this](const QByteArray &identity) {
            seen.emplace_back(Signal::Identified, 0, identity);
        });
        QObject::connect(&transfer, &SerialTransfer::transferStarted,
                         [this] { seen.push_back({Signal::Started}); });
        QObject::connect(&transfer, &SerialTransfer::progressChanged,
                         [this](int percent) { seen.push_back({Signal::Progress, percent}); });
        QObject::connect(&transfer, &SerialTransfer::downloadEnded,
                         [this](TransferResult result) { seen.push_back({Signal::Ended, int(result)}); });
        QObject::connect(&transfer, &SerialTransfer::lost, [this](const QString &, State stateWhenLost) {
            if (port.isOpen() || transfer.state() != State::Idle)
                fail("lost() with the port %s and the protocol in %s", port.isOpen() ? "open" : "closed",
                     stateName(transfer.state()));
            seen.push_back({Signal::Lost, int(stateWhenLost)});
        });
    }

    void receive(QByteArrayView bytes, int piece)
    {
        bool moved = false;
        for (char byte : bytes) {
            const ReferenceHost::Drawn drawn = model.receive(byte);
            expectedWritten.append(drawn.reply.data(), size_t(drawn.reply.size()));
            switch (drawn.event) {
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
            case Event::BlockSent: moved = true; break;
            case Event::Ended: expected.push_back({Signal::Ended, int(model.result())}); break;
            case Event::None: break;
            }
        }
        if (moved)
            expected.push_back({Signal::Progress, model.progressPercent()});
        port.arrive(bytes, piece);
        if (port.bytesAvailable() != 0)
            fail("the driver left %lld of %lld bytes unread", port.bytesAvailable(), qint64(bytes.size()));
        check("bytes arrived");
    }

    void press(const Image &image, bool refused)
    {
        if (refused)
            transfer.requestDownload(unreadable, 1);
        else
            transfer.requestDownload(image.bytes);
        check("Download pressed");
    }

    void withdraw()
    {
        transfer.withdrawDownload();
        check("Download withdrawn");
    }

    void lose(uint8_t how, State before)
    {
        expected.push_back({Signal::Lost, int(before)});
        if (how & 1)
            emit port.errorOccurred(QSerialPort::ResourceError);
        else
            transfer.dropLine();
        check("the line lost");
        port.open(QIODevice::ReadWrite);
    }

private:
    void check(const char *after)
    {
        if (port.written != expectedWritten)
            fail("after %s: the driver wrote %zu bytes, the model %zu; %s", after, port.written.size(),
                 expectedWritten.size(),
                 firstDifference(QByteArrayView(port.written), QByteArrayView(expectedWritten)).c_str());
        if (seen != expected)
            fail("after %s: the driver signalled [%s], the model expected [%s]", after, signalsText(seen).c_str(),
                 signalsText(expected).c_str());
        if (transfer.state() != model.state())
            fail("after %s: the driver's protocol is in %s, the model in %s", after, stateName(transfer.state()),
                 stateName(model.state()));
        port.written.clear();
        expectedWritten.clear();
        seen.clear();
        expected.clear();
    }

    ReferenceHost &model;
    std::string expectedWritten;
    std::vector<Signal> seen;
    std::vector<Signal> expected;
    FakePort port;
    SerialTransfer transfer{port};
    QFile unreadable; // never opened
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

template<typename Host>
void run(InputReader &input, ReferenceHost &model, Host &host)
{
    QByteArray bytes; // made up by an operation
    int piece = 0;
    const auto receive = [&](QByteArrayView received) {
        if (!received.isEmpty())
            host.receive(received, piece);
    };
    while (!input.exhausted()) {
        switch (input.next() % 9) {
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
            break;
        case 5: {
            const uint8_t a = input.next();
            const uint8_t b = input.next();
            const int size = (a & 0x80) ? payloadLength * ((a & 0x7F) % 5 + 1)
                                        : ((a << 8) | b) % (largestImage + 1);
            const Image image = images().image(input.next() % contentCount, size);
            model.press(image, false);
            host.press(image, false);
            break;
        }
        case 6:
            model.press({}, true);
            host.press({}, true);
            break;
        case 7:
            model.withdraw();
            host.withdraw();
            break;
        case 8: {
            const uint8_t how = input.next();
            const State before = model.state();
            model.lose();
            host.lose(how, before);
            break;
        }
        }
    }
}

} // namespace

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
    ReferenceHost model(nakLimitOn);
    if (setup & 2) {
        DriverHost host(model, nakLimitOn);
        run(input, model, host);
    } else {
        ProtocolHost host(model, nakLimitOn);
        run(input, model, host);
    }
    return 0;
}
