#ifndef TRANSFERPROTOCOL_H
#define TRANSFERPROTOCOL_H

#include <QByteArray>
#include <QObject>

#include <algorithm>
#include <array>

class QIODevice;

// The host side of the firmware transfer, kept apart from any port or widget.
//
// It is fed the bytes the device sends, writes its replies to the link device,
// and reads the firmware from the device it is handed when a download is
// requested. The device paces everything: nothing is written except in answer
// to a byte just received.
class TransferProtocol : public QObject
{
    Q_OBJECT

public:
    enum class State { Idle, ReadingIdentity, AwaitingStart, StartPending, Transferring };
    Q_ENUM(State)

    enum class Outcome { Completed, Canceled, FirmwareUnreadable, FirmwareChanged, NakLimit };
    Q_ENUM(Outcome)

    static constexpr int identitySize = 16;
    static constexpr int blockSize = 1024;
    static constexpr int frameSize = blockSize + 2; // payload, then CRC high and low byte

    static constexpr char ETX = 0x03;
    static constexpr char STX = 0x02;
    static constexpr char EOT = 0x04;
    static constexpr char ACK = 0x06;
    static constexpr char NAK = 0x15;
    static constexpr char CAN = 0x18;

    explicit TransferProtocol(QObject *parent = nullptr);

    void setLink(QIODevice *link);
    State state() const { return transferState; }

    // The user asks for a download of firmware, open and at position 0, of
    // size bytes. It arms the start only while a device waits for it; a press
    // while the start is armed replaces the firmware, and one during a
    // transfer changes nothing. The firmware is read whole when the transfer
    // starts: the device gets it as it was then, whatever happens to the file.
    void requestDownload(QIODevice *firmware, quint32 size);
    // The same with an image already in memory, sent as it is.
    void requestDownload(const QByteArray &image);
    // A download request failed after all: no start stays armed for it.
    void withdrawDownload();
    // The link is gone; whatever was under way is over.
    void linkLost();

    // Handles every byte the link has ready, in order.
    void readFrom(QIODevice &link);
    void receiveBytes(const char *bytes, qint64 count);

    // NAKs in a row for one frame after which a download is given up
    // (Outcome::NakLimit), as XMODEM senders do, when the limit is on. Off by
    // default: a frame is then resent for as long as the device asks.
    static constexpr int nakLimit = 10;
    void setNakLimitOn(bool on) { nakLimitOn = on; }

    // Figures of the current (or last) download.
    int blocksSent() const { return int(sentBytes / blockSize); }
    int naksAnswered() const { return nakCount; }
    // What the device acknowledged: a frame it refused or answered with CAN
    // does not count, nor does the padding of the last block.
    int blocksAcknowledged() const { return int(ackedBytes / blockSize); }
    quint32 bytesAcknowledged() const { return std::min(ackedBytes, firmwareSize); }
    // The firmware bytes that went out in the current (or last) download,
    // without the padding of the last block.
    QByteArrayView imageSent() const;

    // Blocks a firmware of size bytes takes, the last one zero-padded.
    static constexpr quint32 blockCount(quint32 size) { return quint32((quint64(size) + blockSize - 1) / blockSize); }

    // "UID: 0A 1B 2C 3D 4E 5F 60 71 V2.3", as the status line shows a device.
    static QString identityText(const QByteArray &identity);
    // The same UID as one word ("0A1B2C3D4E5F6071") and the version ("2.3").
    static QString uidHex(const QByteArray &identity);
    static QString versionText(const QByteArray &identity);
    static QString outcomeText(Outcome outcome);

signals:
    void identified(const QByteArray &identity);
    void transferStarted();
    void progressChanged(int percent);
    void downloadEnded(TransferProtocol::Outcome outcome);

private:
    void handleByte(char byte);
    void storeIdentityByte(char byte);
    void startTransfer();
    bool takeImage();
    void handleReply(char byte);
    void sendNextBlock();
    void resendBlock();
    void writeFrame();
    void finish(Outcome outcome);
    void write(char byte);
    int progressPercent() const;

    QIODevice *link = nullptr;
    QIODevice *firmware = nullptr;
    quint32 firmwareSize = 0;
    QByteArray heldImage; // an image handed over in memory, taken as it is at the start
    bool imageHeld = false;
    QByteArray image; // the firmware as it was when the transfer started

    State transferState = State::Idle;
    int identityCount = 0;
    std::array<char, identitySize> identityRecord{};
    quint32 sentBytes = 0;
    quint32 ackedBytes = 0;
    int nakCount = 0;
    int naksInARow = 0;
    bool nakLimitOn = false;
    int blockLength = 0; // 0 until a block of the current download is formed
    std::array<char, frameSize> blockBuffer{};
};

#endif // TRANSFERPROTOCOL_H
