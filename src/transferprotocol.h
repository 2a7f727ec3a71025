#ifndef TRANSFERPROTOCOL_H
#define TRANSFERPROTOCOL_H

#include "transferresult.h"

#include <QByteArray>
#include <QByteArrayView>

#include <array>

// The host side of the firmware transfer, with no I/O of its own: a driver
// feeds it the bytes the device sends and writes back the reply each step
// returns. It never reads a file: when the device's start byte comes it asks
// for the image (Event::ImageWanted), and the driver hands it in or refuses.
// The device paces everything: there is no reply except to a byte fed in.
class TransferProtocol
{
public:
    enum class State { Idle, ReadingIdentity, AwaitingStart, StartPending, Transferring };

    // What a step made happen; one thing at most.
    enum class Event {
        None,
        Identified,  // the identity record is complete (identity()); the reply greets the device
        ImageWanted, // the start byte came: begin() with the image, or reset() to refuse it
        BlockSent,   // the reply is the next frame: the progress moved
        Ended,       // the download is over (result())
    };

    struct Step
    {
        QByteArrayView reply;   // to write to the device; valid until the next call
        Event event = Event::None;
        qsizetype consumed = 0; // bytes of the input this step handled
    };

    static constexpr int identitySize = 16;
    static constexpr int blockSize = 1024;
    static constexpr int frameSize = 1 + blockSize + 2; // STX, payload, CRC high and low byte

    static constexpr char ETX = 0x03;
    static constexpr char STX = 0x02;
    static constexpr char EOT = 0x04;
    static constexpr char ACK = 0x06;
    static constexpr char NAK = 0x15;
    static constexpr char CAN = 0x18;

    // Handles bytes in order up to and including the first one that draws a
    // reply or an event, and returns what it drew. A driver feeds the rest of
    // its bytes after it has written the reply and dealt with the event.
    Step feed(QByteArrayView bytes);

    // The user asks for a download. It arms the start only while a device
    // waits for it; a press at any other time changes nothing.
    void requestDownload();
    // A download request failed after all: no start stays armed for it.
    void withdrawDownload();
    // The answer to ImageWanted: the transfer starts with image, sent as it
    // is whatever happens to its source.
    void begin(const QByteArray &image);
    // Back to Idle: the image is refused, or the line is gone.
    void reset() { transferState = State::Idle; }

    // A frame refused this many times in a row ends the download with
    // TransferResult::NakLimit. Off by default: a frame is then resent for
    // as long as the device asks.
    void setNakLimitOn(bool on) { nakLimitOn = on; }

    State state() const { return transferState; }
    QByteArray identity() const { return QByteArray(identityRecord.data(), identitySize); }
    // Valid once the download has Ended.
    TransferResult result() const { return endResult; }

    // Figures of the current (or last) download.
    int progressPercent() const;
    int naksAnswered() const { return nakCount; }
    // What the device acknowledged: a frame it refused or answered with CAN
    // does not count, nor does the padding of the last block.
    int blocksAcknowledged() const { return int(ackedBytes / blockSize); }
    quint64 bytesAcknowledged() const;
    // The image bytes that went out, without the padding of the last block.
    QByteArrayView imageSent() const;

    // Blocks an image of size bytes takes, the last one zero-padded.
    static constexpr quint32 blockCount(quint32 size) { return quint32((quint64(size) + blockSize - 1) / blockSize); }

private:
    Step handle(char byte);
    Step storeIdentityByte(char byte);
    Step handleReply(char byte);
    Step sendNextBlock();
    Step end(TransferResult result, QByteArrayView reply = {});
    QByteArrayView frame() const { return QByteArrayView(frameBuffer.data(), frameSize); }
    quint64 imageSize() const { return quint64(image.size()); }

    State transferState = State::Idle;
    TransferResult endResult = TransferResult::Ok;
    int identityCount = 0;
    std::array<char, identitySize> identityRecord{};
    QByteArray image; // the image of the current (or last) download
    quint64 sentBytes = 0; // whole blocks: past the end of an image just under 4 GiB
    quint64 ackedBytes = 0;
    int nakCount = 0;
    int naksInARow = 0;
    bool nakLimitOn = false;
    bool frameFormed = false; // a frame of the current download is in frameBuffer
    std::array<char, frameSize> frameBuffer{};
};

#endif // TRANSFERPROTOCOL_H
