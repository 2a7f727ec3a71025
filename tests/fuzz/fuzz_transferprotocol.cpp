// Drives TransferProtocol with arbitrary device traffic and user actions, and
// checks every reply, signal, state and count against a reference model of the host
// that is written here from the rules of the line alone. Any disagreement
// aborts with a description on stderr.
//
// The input is a stream of operations: an opcode byte (taken modulo 8) and its
// arguments. Bytes past the end of the input read as 0.
//   0 n bytes...    n%64+1 bytes received in one call
//   1 p             (p>>2)+1 copies of ETX/ACK/NAK/CAN (chosen by p&3) in one call
//   2 n symbols...  n%64+1 bytes, each ETX/ACK/NAK/CAN by symbol&3, in one call
//   3 n r bytes...  n%64+1 bytes repeated r%32+1 times, drained from a port
//   4               Download pressed, the chosen file opening
//   5               Download pressed, the file failing to open
//   6               the port is lost
//   7 a b s         a file is chosen: 1024*((a&0x7F)%5+1) bytes if a&0x80, else
//                   ((a<<8)|b)%5120+1 bytes; its content is generated from seed s
// tests/fuzz/make_corpus.py writes seeds in this encoding.

#include "blockchecksum.h"
#include "serialtransfer.h"

#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace {

using State = TransferProtocol::State;
using Outcome = TransferProtocol::Outcome;

// The line's bytes are spelled out here rather than taken from the protocol,
// so that a wrong constant there shows up as a disagreement.
constexpr char ETX = 0x03, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;
constexpr char protocolBytes[] = {ETX, ACK, NAK, CAN};
constexpr int identityLength = 16;
constexpr int identityAnswerLength = 8;
constexpr int payloadLength = 1024;

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

const char *outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Completed: return "Completed";
    case Outcome::Canceled: return "Canceled";
    case Outcome::FirmwareUnreadable: return "FirmwareUnreadable";
    case Outcome::FirmwareChanged: return "FirmwareChanged";
    case Outcome::NakLimit: return "NakLimit";
    }
    return "?";
}

std::string hex(const QByteArray &bytes)
{
    return bytes.toHex(' ').toStdString();
}

// A signal of the protocol other than progress, which is checked as it comes.
struct Event
{
    enum class Kind { Identified, Started, Ended } kind;
    QByteArray identity; // Identified only
    Outcome outcome = Outcome::Completed; // Ended only

    bool operator==(const Event &other) const
    {
        return kind == other.kind && identity == other.identity && outcome == other.outcome;
    }

    std::string text() const
    {
        switch (kind) {
        case Kind::Identified: return "identified(" + hex(identity) + ")";
        case Kind::Started: return "transferStarted";
        case Kind::Ended: return std::string("downloadEnded(") + outcomeName(outcome) + ")";
        }
        return "?";
    }
};

std::string eventsText(const std::vector<Event> &events)
{
    std::string text;
    for (const Event &event : events)
        text += (text.empty() ? "" : ", ") + event.text();
    return text.empty() ? "none" : text;
}

// The reply frame for the block of firmware at offset: the bytes there, zero
// after the end of the file, then the checksum high byte first.
QByteArray frameAt(const QByteArray &firmware, int offset)
{
    QByteArray payload = firmware.mid(offset, payloadLength);
    payload.append(payloadLength - payload.size(), '\0');
    const quint16 crc = blockChecksum(payload.constData(), payloadLength);
    return STX + payload + char(crc >> 8) + char(crc & 0xFF);
}

// What a correct host does, worked out from the device's bytes and the user's
// actions. Each step collects the bytes the host must write, where each reply
// comes from (to explain a disagreement), the signals it must give, and which
// rules demanded silence.
class ReferenceHost
{
public:
    enum class Reply { PollAnswer, IdentityAnswer, Frame, Resend, EndOfTransfer };
    enum SilentRule : unsigned {
        ByteIgnored = 1,
        StartByteConsumed = 2,
        NakBeforeFirstBlock = 4,
        CancelObeyed = 8,
    };

    State state() const { return current; }
    // Figures of the current (or last) download.
    int blocksSent() const { return nextOffset / payloadLength; }
    int resends() const { return resendCount; }
    const QByteArray &expectedOutput() const { return output; }
    const std::vector<Event> &expectedEvents() const { return events; }

    void beginStep()
    {
        output.clear();
        replies.clear();
        events.clear();
        silentRules = 0;
    }

    void receive(char byte)
    {
        switch (current) {
        case State::Idle: return leaveIdle(byte);
        case State::ReadingIdentity: return storeIdentity(byte);
        case State::AwaitingStart: return expect(Reply::PollAnswer, QByteArray(1, ETX));
        case State::StartPending: return startDownload();
        case State::Transferring: return answerDuringTransfer(byte);
        }
    }

    // A Download press that opened the file; the dialog makes none while a
    // transfer runs.
    void press(const QByteArray &firmware)
    {
        pendingFirmware = firmware;
        if (current == State::AwaitingStart)
            current = State::StartPending;
    }

    // A Download press whose file would not open.
    void withdraw()
    {
        pendingFirmware.clear();
        if (current == State::StartPending)
            current = State::AwaitingStart;
    }

    void linkLost() { current = State::Idle; }

    std::string describeExpectedAt(int index) const
    {
        if (index >= output.size())
            return "nothing more";
        // The replies cover the step's output from its first byte, in order.
        const auto after = std::upper_bound(
            replies.begin(), replies.end(), index,
            [](int at, const ExpectedReply &reply) { return at < reply.start; });
        const ExpectedReply &reply = *std::prev(after);
        return describeReplyByte(reply, index - reply.start);
    }

    std::string silentRulesText() const
    {
        std::string text;
        const auto add = [&](unsigned rule, const char *what) {
            if (silentRules & rule)
                text += std::string(text.empty() ? "" : "; ") + what;
        };
        add(ByteIgnored, "a byte to ignore");
        add(StartByteConsumed, "the start byte, consumed without reply");
        add(NakBeforeFirstBlock, "a NAK before the first block of this download, "
                                 "which must not resend a block of an earlier download");
        add(CancelObeyed, "a CAN, obeyed without reply");
        return text.empty() ? "none" : text;
    }

    bool applied(SilentRule rule) const { return silentRules & rule; }

private:
    struct ExpectedReply
    {
        Reply kind;
        int start; // index of its first byte in the step's output
        int download;
        int offset; // firmware offset of a frame's payload
    };

    void leaveIdle(char byte)
    {
        if (byte != ETX) {
            silentRules |= ByteIgnored;
            return;
        }
        identity.clear();
        current = State::ReadingIdentity;
    }

    void storeIdentity(char byte)
    {
        identity += byte;
        if (identity.size() < identityLength)
            return;
        current = State::AwaitingStart;
        expect(Reply::IdentityAnswer, QByteArray(identityAnswerLength, ETX));
        events.push_back({Event::Kind::Identified, identity, Outcome::Completed});
    }

    void startDownload()
    {
        silentRules |= StartByteConsumed;
        current = State::Transferring;
        firmware = pendingFirmware;
        nextOffset = 0;
        resendCount = 0;
        lastFrame.clear();
        ++downloadNumber;
        events.push_back({Event::Kind::Started, {}, Outcome::Completed});
    }

    void answerDuringTransfer(char byte)
    {
        switch (byte) {
        case ACK: return answerAck();
        case NAK: return answerNak();
        case CAN:
            silentRules |= CancelObeyed;
            return endDownload(Outcome::Canceled);
        default:
            silentRules |= ByteIgnored;
            return;
        }
    }

    void answerAck()
    {
        if (nextOffset >= firmware.size()) {
            expect(Reply::EndOfTransfer, QByteArray(1, EOT));
            return endDownload(Outcome::Completed);
        }
        lastFrame = frameAt(firmware, nextOffset);
        lastFrameOffset = nextOffset;
        nextOffset += payloadLength;
        expect(Reply::Frame, lastFrame, lastFrameOffset);
    }

    void answerNak()
    {
        if (lastFrame.isEmpty()) {
            silentRules |= NakBeforeFirstBlock;
            return;
        }
        ++resendCount;
        expect(Reply::Resend, lastFrame, lastFrameOffset);
    }

    void endDownload(Outcome outcome)
    {
        current = State::Idle;
        events.push_back({Event::Kind::Ended, {}, outcome});
    }

    void expect(Reply kind, const QByteArray &bytes, int offset = 0)
    {
        replies.push_back({kind, int(output.size()), downloadNumber, offset});
        output += bytes;
    }

    std::string describeReplyByte(const ExpectedReply &reply, int at) const
    {
        const std::string expected = "0x" + hex(output.mid(reply.start + at, 1));
        switch (reply.kind) {
        case Reply::PollAnswer: return expected + ", the answer to a byte in AwaitingStart";
        case Reply::IdentityAnswer:
            return expected + ", byte " + std::to_string(at) + " of the eight answering an identity";
        case Reply::EndOfTransfer: return expected + ", the EOT after the last block";
        case Reply::Frame:
        case Reply::Resend: return expected + ", " + describeFrameByte(reply, at);
        }
        return "?";
    }

    std::string describeFrameByte(const ExpectedReply &reply, int at) const
    {
        const std::string frame = std::string(reply.kind == Reply::Resend ? "resent" : "new")
            + " frame at offset " + std::to_string(reply.offset) + " of download #"
            + std::to_string(reply.download) + " (file of " + std::to_string(firmware.size())
            + " bytes)";
        if (at == 0)
            return "STX of the " + frame;
        if (at > payloadLength)
            return std::string(at == payloadLength + 1 ? "CRC high" : "CRC low") + " byte of the "
                + frame;
        const int offset = reply.offset + at - 1;
        return "payload byte at file offset " + std::to_string(offset)
            + (offset >= firmware.size() ? " (zero fill past the end)" : "") + " in the " + frame;
    }

    State current = State::Idle;
    QByteArray identity;
    QByteArray pendingFirmware;
    QByteArray firmware; // of the running (or last) download
    int nextOffset = 0;
    int resendCount = 0;
    QByteArray lastFrame; // empty until the first block of this download
    int lastFrameOffset = 0;
    int downloadNumber = 0;

    QByteArray output;
    std::vector<ExpectedReply> replies;
    std::vector<Event> events;
    unsigned silentRules = 0;
};

// The port as the host sees it: keeps what the host writes for the step's check.
class CapturingLink : public QIODevice
{
public:
    CapturingLink() { open(QIODevice::WriteOnly | QIODevice::Unbuffered); }
    bool isSequential() const override { return true; }
    QByteArray takeWritten() { return std::exchange(written, {}); }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *bytes, qint64 count) override
    {
        written.append(bytes, count);
        return count;
    }

private:
    QByteArray written;
};

// Follows the protocol's signals: keeps the identities, starts and outcomes
// for comparison with the model, and checks the progress figures as they come:
// only during a download, 0 first, never falling, within 0..100, and 100 by
// the time a download completes.
class SignalRecorder
{
public:
    explicit SignalRecorder(TransferProtocol &protocol)
    {
        QObject::connect(&protocol, &TransferProtocol::identified, [this](const QByteArray &id) {
            events.push_back({Event::Kind::Identified, id, Outcome::Completed});
        });
        QObject::connect(&protocol, &TransferProtocol::transferStarted, [this] { started(); });
        QObject::connect(&protocol, &TransferProtocol::progressChanged,
                         [this](int percent) { progressed(percent); });
        QObject::connect(&protocol, &TransferProtocol::downloadEnded,
                         [this](Outcome outcome) { ended(outcome); });
    }

    std::vector<Event> takeEvents() { return std::exchange(events, {}); }

    // A lost port ends the download without a signal.
    void downloadAbandoned() { downloadRunning = false; }

private:
    void started()
    {
        events.push_back({Event::Kind::Started, {}, Outcome::Completed});
        downloadRunning = true;
        lastPercent = -1;
    }

    void progressed(int percent)
    {
        if (!downloadRunning)
            fail("progressChanged(%d) outside a download", percent);
        if (percent < 0 || percent > 100)
            fail("progressChanged(%d) out of 0..100", percent);
        if (lastPercent < 0 && percent != 0)
            fail("first progressChanged of a download is %d, not 0", percent);
        if (percent < lastPercent)
            fail("progressChanged fell from %d to %d within a download", lastPercent, percent);
        lastPercent = percent;
    }

    void ended(Outcome outcome)
    {
        events.push_back({Event::Kind::Ended, {}, outcome});
        if (outcome == Outcome::Completed && lastPercent != 100)
            fail("download completed with progress at %d, not 100", lastPercent);
        downloadRunning = false;
    }

    std::vector<Event> events;
    bool downloadRunning = false;
    int lastPercent = -1;
};

// Reads the fuzz input as arguments; past the end every byte reads as 0.
class InputReader
{
public:
    InputReader(const uint8_t *data, size_t size)
        : data(data)
        , size(size)
    {
    }

    bool exhausted() const { return position >= size; }
    uint8_t next() { return exhausted() ? 0 : data[position++]; }

    QByteArray take(int count)
    {
        const int available = int(std::min(size_t(count), size - position));
        QByteArray bytes(reinterpret_cast<const char *>(data + position), available);
        position += size_t(available);
        return bytes;
    }

private:
    const uint8_t *data;
    size_t size;
    size_t position = 0;
};

// Firmware content that differs from block to block and byte to byte, and is
// rarely zero, so that a wrong offset or a stale tail shows in the payload.
QByteArray generatedFirmware(int size, uint8_t seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = (quint32(seed) + 1) * 0x9E3779B9u;
    for (char &byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = char(state >> 24);
    }
    return bytes;
}

int chosenFileSize(uint8_t a, uint8_t b)
{
    if (a & 0x80)
        return payloadLength * ((a & 0x7F) % 5 + 1); // whole blocks only
    return ((a << 8) | b) % 5120 + 1;
}

// The driver the dialog and kavri-flash use, fed directly rather than from a
// port, next to the model, checked after each operation.
class Session
{
public:
    Session()
    {
        protocol.setLink(&link); // its replies are captured instead of going to a port
    }
    ~Session()
    {
        for (int choice = 1; choice <= choices; ++choice)
            QFile::remove(choicePath(choice));
    }

    void run(InputReader &input)
    {
        while (!input.exhausted())
            perform(input);
    }

private:
    enum Operation { ReceiveChunk, ReceiveRun, ReceiveSymbols, DrainPort, PressDownload,
                     PressFailing, LoseLink, ChooseFile, OperationCount };

    void perform(InputReader &input)
    {
        model.beginStep();
        switch (input.next() % OperationCount) {
        case ReceiveChunk: return receive(input.take(input.next() % 64 + 1), "received bytes");
        case ReceiveRun: return receiveRun(input.next());
        case ReceiveSymbols: return receiveSymbols(input);
        case DrainPort: return drainPort(input);
        case PressDownload: return pressDownload(true);
        case PressFailing: return pressDownload(false);
        case LoseLink: return loseLink();
        case ChooseFile: return chooseFile(input);
        }
    }

    void receiveRun(uint8_t argument)
    {
        receive(QByteArray((argument >> 2) + 1, protocolBytes[argument & 3]), "a run of bytes");
    }

    void receiveSymbols(InputReader &input)
    {
        QByteArray bytes = input.take(input.next() % 64 + 1);
        for (char &byte : bytes)
            byte = protocolBytes[byte & 3];
        receive(bytes, "protocol bytes");
    }

    void receive(const QByteArray &bytes, const char *action)
    {
        for (char byte : bytes)
            model.receive(byte);
        protocol.receiveBytes(bytes.constData(), bytes.size());
        check(action, bytes);
    }

    // The port's bytes all at once through readFrom, more than it reads at a time.
    void drainPort(InputReader &input)
    {
        const int length = input.next() % 64 + 1;
        const int repeats = input.next() % 32 + 1;
        const QByteArray bytes = input.take(length).repeated(repeats);
        QBuffer port;
        port.setData(bytes);
        port.open(QIODevice::ReadOnly);
        for (char byte : bytes)
            model.receive(byte);
        protocol.readFrom(port);
        if (port.bytesAvailable() != 0)
            fail("readFrom left %lld of %lld bytes unread", port.bytesAvailable(),
                 qint64(bytes.size()));
        check("bytes drained from the port", bytes);
    }

    void pressDownload(bool fileOpens)
    {
        const bool opens = fileOpens && !chosenFile.isEmpty();
        if (protocol.state() != State::Transferring) {
            if (opens)
                model.press(chosenFile);
            else
                model.withdraw();
        }
        const QString problem = transfer.requestDownload(opens ? firmwarePath : firmwarePath + ".missing");
        if (problem.isEmpty() != (opens || protocol.state() == State::Transferring))
            fail("Download press answered \"%s\"", qPrintable(problem));
        check(opens ? "Download pressed" : "Download pressed, file failing to open");
    }

    void loseLink()
    {
        model.linkLost();
        protocol.linkLost();
        recorder.downloadAbandoned();
        check("port lost");
    }

    void chooseFile(InputReader &input)
    {
        const uint8_t a = input.next();
        const uint8_t b = input.next();
        chosenFile = generatedFirmware(chosenFileSize(a, b), input.next());
        // A file of its own, as File picks one: the file of an armed start stays as it is.
        firmwarePath = choicePath(++choices);
        QFile file(firmwarePath);
        if (!file.open(QIODevice::WriteOnly) || file.write(chosenFile) != chosenFile.size())
            fail("cannot write %s", qPrintable(firmwarePath));
        check("file chosen");
    }

    void check(const char *action, const QByteArray &received = {})
    {
        checkOutput(action, received);
        checkEvents(action);
        if (protocol.state() != model.state())
            fail("after %s: protocol is in %s, model in %s", action, stateName(protocol.state()),
                 stateName(model.state()));
        checkFigures(action);
    }

    void checkFigures(const char *action)
    {
        if (protocol.blocksSent() != model.blocksSent() || protocol.naksAnswered() != model.resends())
            fail("after %s: protocol counts %d blocks sent and %d NAKs answered, model %d and %d",
                 action, protocol.blocksSent(), protocol.naksAnswered(), model.blocksSent(),
                 model.resends());
    }

    void checkOutput(const char *action, const QByteArray &received)
    {
        const QByteArray written = link.takeWritten();
        const QByteArray &expected = model.expectedOutput();
        if (written == expected)
            return;
        int at = 0;
        while (at < written.size() && at < expected.size() && written[at] == expected[at])
            ++at;
        const std::string got = at < written.size() ? "0x" + hex(written.mid(at, 1)) : "nothing";
        const bool staleResend = model.applied(ReferenceHost::NakBeforeFirstBlock)
            && at < written.size() && written[at] == STX;
        fail("after %s (%d bytes received: %s%s), host wrote %d bytes, model expected %d.\n"
             "  First difference at output byte %d: host wrote %s, model expected %s.\n"
             "  Silent rules this step: %s.%s\n  Model state %s, protocol state %s.",
             action, int(received.size()), hex(received.left(32)).c_str(),
             received.size() > 32 ? " ..." : "", int(written.size()), int(expected.size()), at,
             got.c_str(), model.describeExpectedAt(at).c_str(), model.silentRulesText().c_str(),
             staleResend ? "\n  A NAK before the first block was answered with a frame: "
                           "a resend of an earlier download's block."
                         : "",
             stateName(model.state()), stateName(protocol.state()));
    }

    void checkEvents(const char *action)
    {
        const std::vector<Event> actual = recorder.takeEvents();
        if (actual != model.expectedEvents())
            fail("after %s, protocol signalled [%s], model expected [%s]", action,
                 eventsText(actual).c_str(), eventsText(model.expectedEvents()).c_str());
    }

    CapturingLink link;
    QSerialPort port; // never opened
    SerialTransfer transfer{port};
    TransferProtocol &protocol = transfer.protocol();
    SignalRecorder recorder{protocol};
    ReferenceHost model;
    QByteArray chosenFile; // empty until a file is chosen: a press then fails
    int choices = 0;
    QString firmwarePath = choicePath(0); // never written: a press before any choice fails

    static QString choicePath(int choice)
    {
        return QDir::temp().filePath(QStringLiteral("kavri-fuzz-%1-%2.kvf").arg(getpid()).arg(choice));
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    InputReader input(data, size);
    Session session;
    session.run(input);
    return 0;
}
