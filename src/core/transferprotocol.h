#ifndef TRANSFERPROTOCOL_H
#define TRANSFERPROTOCOL_H

#include "transferresult.h"

#include <QByteArray>
#include <QByteArrayView>

#include <array>

// The host side of the firmware transfer, with no I/O and no clock of its
// own: a driver feeds it the bytes the device sends with the time they came,
// writes back the reply each step returns, and feeds it again (with no bytes)
// when wakeAtUs() comes. It never reads a file: when the device's start byte
// comes it asks for the image (Event::ImageWanted), and the driver hands it
// in or refuses.
//
// Frames carry no block number, so host and device keep step only by
// counting. Time keeps the count honest: an announcement is told from polls
// by the silence before it and the burst it comes in, and a byte that shows
// the device has lost step ends the download as OutOfStep, never as OK.
// Times are microseconds on the driver's clock, which never goes back.
class TransferProtocol
{
public:
    enum class State { Idle, ReadingIdentity, AwaitingStart, StartPending, Transferring };

    // What a step made happen; one thing at most.
    enum class Event {
        None,
        Identified,  // an announcement is complete (identity()); the reply greets the device
        ImageWanted, // the start byte came: begin() with the image, or reset() to refuse it
        BlockSent,   // the reply is the next frame: the progress moved
        Ended,       // the download is over (result())
        Silent,      // the line has been silent for the silence limit
    };

    struct Step
    {
        QByteArrayView reply;   // to write to the device; valid until the next call
        Event event = Event::None;
        qsizetype consumed = 0; // bytes of the input this step handled
        bool drewSomething() const { return event != Event::None || !reply.isEmpty(); }
    };

    static constexpr int identitySize = 16;
    static constexpr int announcementSize = 1 + identitySize;
    static constexpr int blockSize = 1024;
    static constexpr int frameSize = 1 + blockSize + 2; // STX, payload, CRC high and low byte

    static constexpr char ETX = 0x03;
    static constexpr char STX = 0x02;
    static constexpr char EOT = 0x04;
    static constexpr char ACK = 0x06;
    static constexpr char NAK = 0x15;
    static constexpr char CAN = 0x18;

    // The NAKs in a row after which a download is given up, when the limit is on.
    static constexpr int nakLimit = 10;

    // The line's timing. A frame takes 89 ms to cross the line at 115200
    // baud (ten bits a byte). A USB serial adapter passes bytes on when its
    // latency timer runs out, 16 ms by default, so it can split one burst in
    // two that far apart.
    static constexpr qint64 frameAirUs = qint64(frameSize) * 10 * 1'000'000 / 115200;
    // An 0x03 opens an announcement only after this much silence: longer
    // than an adapter's split of one burst, so a record byte never opens one.
    static constexpr qint64 announcementQuietUs = 20'000;
    // The 16 record bytes follow with no gap longer than this: the 1.5 ms
    // burst, an adapter's split and a busy host fit; a poll, which a device
    // follows with at least 50 ms of waiting, does not.
    static constexpr qint64 recordGapUs = 30'000;
    // A byte that is not a reply, while a frame may still be crossing the
    // line (its air time and an adapter's latency), is noise.
    static constexpr qint64 frameInFlightUs = frameAirUs + 20'000;
    // After EOT no reply may come for as long as the device ever took to
    // answer a frame (at least a frame's air time) and this much more
    // before the download counts as OK: an adapter's latency both ways, and
    // a device's look behind the frame.
    static constexpr qint64 endWatchMarginUs = 50'000;

    // The line was opened at nowUs: bytes already on their way may be the
    // tail of an announcement, so the silence an announcement needs is
    // counted from here.
    void lineOpened(qint64 nowUs);

    // Handles bytes, all arrived at nowUs, in order up to and including the
    // first one that draws a reply or an event, and returns what it drew. A
    // pause that ended an announcement is judged before the bytes, with
    // nothing consumed; the watch after the EOT and the silence limit once
    // every byte is handled. A driver writes the reply, deals with the
    // event, and feeds the rest; it feeds no bytes at wakeAtUs(), and again
    // while steps draw something.
    Step feed(QByteArrayView bytes, qint64 nowUs);
    // When feed() is next needed even if no byte comes; -1 for never.
    qint64 wakeAtUs() const;

    // The user asks for a download. It arms the start only while a device
    // waits for it; a press at any other time changes nothing.
    void requestDownload();
    // A download request failed after all: no start stays armed for it.
    void withdrawDownload();
    // The answer to ImageWanted, given before the next feed(): the transfer
    // starts with image, sent as it is whatever happens to its source.
    // Refused (false, nothing changes) unless the step just returned asked
    // for the image: a caller's mistake must not start a transfer the device
    // never asked for, nor restart one under way.
    bool begin(const QByteArray &image);
    // Back to Idle from any state: the image is refused, or the line is
    // gone. Held bytes, an armed start, an image asked for and the watch
    // after an EOT are dropped; the identity and the figures and result of
    // the last download stay as they were.
    void reset();

    // A frame refused this many times in a row ends the download with
    // TransferResult::NakLimit. Off by default: a frame is then resent for
    // as long as the device asks.
    void setNakLimitOn(bool on) { nakLimitOn = on; }
    // Event::Silent once the line has brought no byte for limitUs; 0 (the
    // default) never. Any byte starts the count again.
    void setSilenceLimit(qint64 limitUs) { silenceLimitUs = limitUs; }

    State state() const { return transferState; }
    // The EOT is out and the line is watched for a late reply.
    bool watchingEnd() const { return endWatchUntilUs >= 0; }
    QByteArray identity() const { return QByteArray(identityRecord.data(), identitySize); }
    // Valid once the download has Ended.
    TransferResult result() const { return endResult; }

    // Figures of the current (or last) download.
    int progressPercent() const;
    int naksAnswered() const { return nakCount; }
    // Bytes that meant nothing during the transfer and did no harm.
    int noiseBytes() const { return noiseCount; }
    // The block the last frame carried, 1-based; 0 before the first.
    quint32 blocksSent() const { return quint32(sentBytes / blockSize); }
    // What the device acknowledged: a frame it refused or answered with CAN
    // does not count, nor does the padding of the last block.
    int blocksAcknowledged() const { return int(ackedBytes / blockSize); }
    quint64 bytesAcknowledged() const;
    // The image bytes that went out, without the padding of the last block.
    QByteArrayView imageSent() const;

    // Blocks an image of size bytes takes, the last one zero-padded.
    static constexpr quint32 blockCount(quint32 size) { return quint32((quint64(size) + blockSize - 1) / blockSize); }

private:
    Step handle(char byte, qint64 nowUs);
    // A byte that arrived at arrivedUs, handled at nowUs: later when it was held.
    Step handleInState(char byte, qint64 arrivedUs, qint64 nowUs);
    Step startHolding(qint64 atUs);
    Step holdByte(char byte);
    Step announced();
    Step greet();
    void releaseHeld();
    Step replayNext(qint64 nowUs);
    Step handleReply(char byte, qint64 arrivedUs, qint64 nowUs);
    Step nonReply(qint64 arrivedUs);
    Step sendNextBlock(qint64 nowUs);
    Step end(TransferResult result, QByteArrayView reply = {});
    QByteArrayView frame() const { return QByteArrayView(frameBuffer.data(), frameSize); }
    quint64 imageSize() const { return quint64(image.size()); }

    State transferState = State::Idle;
    bool imageAsked = false; // the last step was ImageWanted, not yet answered
    TransferResult endResult = TransferResult::Ok;
    std::array<char, identitySize> identityRecord{};

    // Line timing.
    qint64 lastByteUs = -announcementQuietUs; // the line starts out quiet
    qint64 silenceLimitUs = 0;
    bool silenceReported = false;

    // An 0x03 after silence and the bytes after it, until they prove an
    // announcement or the line pauses; then they are handled as they came.
    std::array<char, announcementSize> held{};
    int heldCount = 0;
    qint64 heldSinceUs = 0;
    bool firstHeldAnswered = false; // the 0x03 was answered as a poll at once
    int replayAt = 0;               // held bytes still to be handled: replayAt..replayEnd
    int replayEnd = 0;
    bool greetingOwed = false;      // an announcement ended a transfer; its greeting comes next

    QByteArray image; // the image of the current (or last) download
    quint64 sentBytes = 0; // whole blocks: past the end of an image just under 4 GiB
    quint64 ackedBytes = 0;
    int nakCount = 0;
    int naksInARow = 0;
    int noiseCount = 0;
    bool nakLimitOn = false;
    bool frameFormed = false; // a frame of the current download is in frameBuffer
    qint64 frameWrittenUs = 0;
    qint64 slowestAnswerUs = 0;  // the longest a device took to answer a frame
    qint64 endWatchUntilUs = -1; // EOT is out: silence until then makes it OK
    std::array<char, frameSize> frameBuffer{};
};

#endif // TRANSFERPROTOCOL_H
