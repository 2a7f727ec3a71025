#include "testdata.h"
#include "transferprotocol.h"

#include <QTest>

using namespace Wire;
using State = TransferProtocol::State;
using Event = TransferProtocol::Event;

namespace {

QByteArray identity()
{
    return QByteArray::fromHex("0A1B2C3D4E5F6071EEEE0302FFFFFFFF");
}

} // namespace

// The protocol fed as a driver feeds it, whole reads or byte by byte, on a
// clock of the test's own: each read comes a millisecond after the one
// before, unless the test pauses the line; a pause wakes the protocol when
// it asked to be. The reply of each step is written, the image handed in
// when it is asked for.
class Host
{
public:
    explicit Host(bool byteByByte) : byteByByte(byteByByte) {}

    void receive(const QByteArray &bytes)
    {
        nowUs += 1000;
        if (!byteByByte) {
            feed(bytes);
            return;
        }
        for (char byte : bytes)
            feed(QByteArrayView(&byte, 1));
    }

    // Nothing comes for ms milliseconds.
    void pause(int ms)
    {
        const qint64 until = nowUs + ms * 1000LL;
        for (qint64 wake; (wake = protocol.wakeAtUs()) >= 0 && wake <= until;) {
            nowUs = std::max(nowUs, wake);
            feed({});
        }
        nowUs = until;
    }

    void openLine() { protocol.lineOpened(nowUs); }

    QByteArray written() { return std::exchange(replies, {}); }

    void download(const QByteArray &content)
    {
        image = content;
        protocol.requestDownload();
    }

    // A device plugged in a while later: identified, Download pressed and
    // the start byte consumed.
    void startTransfer(const QByteArray &content)
    {
        pause(300);
        receive(ETX + identity());
        download(content);
        receive(QByteArray(1, 'C'));
        written();
    }

    const bool byteByByte;
    TransferProtocol protocol;
    qint64 nowUs = 1'000'000;
    QByteArray image;
    bool refuseImage = false;
    bool downloadOnIdentity = false; // as kavri-flash presses Download
    QList<QByteArray> identities;
    QList<int> progress;
    QList<TransferResult> results;
    int silences = 0;

private:
    void feed(QByteArrayView bytes)
    {
        TransferProtocol::Step step;
        do {
            step = protocol.feed(bytes, nowUs);
            replies += step.reply.toByteArray();
            bytes = bytes.sliced(step.consumed);
            react(step.event);
        } while (step.drewSomething() || !bytes.isEmpty());
    }

    void react(Event event)
    {
        switch (event) {
        case Event::None:
            break;
        case Event::Identified:
            identities.append(protocol.identity());
            if (downloadOnIdentity)
                download(image);
            break;
        case Event::ImageWanted:
            if (refuseImage) {
                protocol.reset();
                break;
            }
            protocol.begin(image);
            progress.append(0);
            break;
        case Event::BlockSent:
            progress.append(protocol.progressPercent());
            break;
        case Event::Ended:
            results.append(protocol.result());
            break;
        case Event::Silent:
            ++silences;
            break;
        }
    }

    QByteArray replies;
};

class TestTransferProtocol : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase_data();

    void identification_data();
    void identification();
    void downloadInEachState_data();
    void downloadInEachState();
    void startByteIsConsumed_data();
    void startByteIsConsumed();
    void downloadPressedOnIdentity();
    void transfer_data();
    void transfer();
    void announcingAgain_data();
    void announcingAgain();
    void outOfStep_data();
    void outOfStep();
    void endWatchOutlastsTheSlowestAnswer();
    void silenceLimit();
    void nakRepeatsTheFrame();
    void nakLimit_data();
    void nakLimit();
    void nakBeforeFirstBlockIsIgnored();
    void cancel();
    void finalBlockTailIsZero();
    void secondDeviceAndNewImage();
    void startWithdrawnOrRefused_data();
    void startWithdrawnOrRefused();
    void resetReturnsToIdle();
    void beginOnlyWhenAsked_data();
    void beginOnlyWhenAsked();
};

void TestTransferProtocol::initTestCase_data()
{
    QTest::addColumn<bool>("byteByByte");
    QTest::newRow("whole") << false;
    QTest::newRow("byte by byte") << true;
}

// Pieces of the device's output: how many milliseconds the line paused
// before each (-1: the port opened just before it), and the bytes.
using Pieces = QList<QPair<int, QByteArray>>;

void TestTransferProtocol::identification_data()
{
    QTest::addColumn<Pieces>("pieces");
    QTest::addColumn<QByteArray>("expectedReply");
    QTest::addColumn<QList<QByteArray>>("expectedIdentities");

    const QByteArray record = ETX + identity();
    const QByteArray eight(greetingLength, ETX);
    const QByteArray garbage("\x01\x06\x15\x18\xFFz", 6);
    const QList<QByteArray> one{identity()};
    QTest::newRow("identity and one more byte in one read") << Pieces{{0, record + 'x'}} << eight + ETX << one;
    QTest::newRow("identity across reads") << Pieces{{0, record.left(6)}, {1, record.mid(6)}} << eight << one;
    QTest::newRow("split by an adapter's latency timer")
        << Pieces{{0, record.left(9)}, {16, record.mid(9)}} << eight << one;
    QTest::newRow("garbage, silence, then the announcement") << Pieces{{0, garbage}, {25, record}} << eight << one;
    QTest::newRow("garbage right before it hides the 0x03")
        << Pieces{{0, garbage}, {1, record}} << QByteArray() << QList<QByteArray>{};
    QTest::newRow("a 0x03 inside the record is data")
        << Pieces{{0, ETX + QByteArray(16, ETX)}, {1, "ab"}} << eight + ETX + ETX
        << QList<QByteArray>{QByteArray(16, ETX)};
    QTest::newRow("cut off by a pause: never shown")
        << Pieces{{0, record.left(11)}, {40, record.mid(11)}} << QByteArray() << QList<QByteArray>{};
    // identity() holds 0x03 at offset 10, the version's minor byte.
    QTest::newRow("the tail of an announcement as the port opens")
        << Pieces{{-1, record.mid(11)}} << QByteArray() << QList<QByteArray>{};
    QTest::newRow("the next announcement after one cut off")
        << Pieces{{0, record.left(11)}, {40, record.mid(11)}, {300, record}} << eight << one;
}

void TestTransferProtocol::identification()
{
    QFETCH(Pieces, pieces);
    QFETCH(QByteArray, expectedReply);
    QFETCH(QList<QByteArray>, expectedIdentities);

    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    for (const auto &[pauseMs, bytes] : pieces) {
        if (pauseMs < 0)
            host.openLine();
        else
            host.pause(pauseMs);
        host.receive(bytes);
    }
    host.pause(100);

    QCOMPARE(host.written(), expectedReply);
    QCOMPARE(host.identities, expectedIdentities);
    QCOMPARE(host.protocol.state(), expectedIdentities.isEmpty() ? State::Idle : State::AwaitingStart);
}

void TestTransferProtocol::downloadInEachState_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<bool>("pressTwice");
    QTest::addColumn<State>("expected");

    QTest::newRow("Idle") << QByteArray() << false << State::Idle;
    QTest::newRow("ReadingIdentity") << (ETX + identity()).left(5) << false << State::ReadingIdentity;
    QTest::newRow("AwaitingStart") << ETX + identity() << false << State::StartPending;
    QTest::newRow("StartPending") << ETX + identity() << true << State::StartPending;
    QTest::newRow("Transferring") << ETX + identity() << true << State::Transferring;
}

void TestTransferProtocol::downloadInEachState()
{
    QFETCH(QByteArray, before);
    QFETCH(bool, pressTwice);
    QFETCH(State, expected);

    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    host.receive(before);
    if (expected == State::Transferring) {
        host.download(patterned(3000));
        host.receive(QByteArray("C") + ACK);
    }
    host.written();
    host.protocol.requestDownload();
    if (pressTwice)
        host.protocol.requestDownload();

    QCOMPARE(host.protocol.state(), expected);
    QCOMPARE(host.written(), QByteArray()); // a press never writes
    if (expected == State::Transferring) {
        // The running transfer goes on with its own image.
        host.receive(QByteArray(1, ACK));
        QCOMPARE(host.written(), frame(patterned(3000), 1));
    }
}

void TestTransferProtocol::startByteIsConsumed_data()
{
    QTest::addColumn<char>("startByte");
    QTest::newRow("ACK") << ACK;
    QTest::newRow("ETX") << ETX;
    QTest::newRow("NAK") << NAK;
    QTest::newRow("CAN") << CAN;
    QTest::newRow("poll") << 'C';
}

void TestTransferProtocol::startByteIsConsumed()
{
    QFETCH(char, startByte);
    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    host.receive(ETX + identity());
    host.download(patterned(10));
    host.written();

    host.receive(QByteArray(1, startByte));
    QCOMPARE(host.protocol.state(), State::Transferring);
    QCOMPARE(host.written(), QByteArray());
    QCOMPARE(host.progress, QList<int>{0});

    host.receive(QByteArray(1, ACK));
    QCOMPARE(host.written(), frame(patterned(10), 0));
}

// kavri-flash arms the start when the identity arrives: a device that polls
// and ACKs right behind its announcement, in one read, gets its first block.
void TestTransferProtocol::downloadPressedOnIdentity()
{
    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    host.image = patterned(10);
    host.downloadOnIdentity = true;
    host.receive(ETX + identity() + 'C' + ACK);
    QCOMPARE(host.written(), QByteArray(greetingLength, ETX) + frame(patterned(10), 0));
}

void TestTransferProtocol::transfer_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("expectedProgress");

    QTest::newRow("1 byte") << 1 << QList<int>{0, 100};
    QTest::newRow("1023 bytes") << 1023 << QList<int>{0, 100};
    QTest::newRow("1024 bytes") << 1024 << QList<int>{0, 100};
    QTest::newRow("1500 bytes") << 1500 << QList<int>{0, 68, 100};
    QTest::newRow("2048 bytes") << 2048 << QList<int>{0, 50, 100};
    QTest::newRow("3073 bytes") << 3073 << QList<int>{0, 33, 66, 99, 100};
}

void TestTransferProtocol::transfer()
{
    QFETCH(int, size);
    QFETCH(QList<int>, expectedProgress);

    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    const QByteArray firmware = patterned(size);
    host.startTransfer(firmware);

    const int blocks = (size + 1023) / 1024;
    for (int block = 0; block < blocks; ++block) {
        host.receive(QByteArray(1, ACK));
        QCOMPARE(host.written(), frame(firmware, block));
        QCOMPARE(host.protocol.state(), State::Transferring);
    }
    // Bytes other than ACK, NAK and CAN change nothing.
    host.receive(QByteArray("\x03\x00\x02zz", 5));
    QCOMPARE(host.written(), QByteArray());

    host.receive(QByteArray(1, ACK));
    QCOMPARE(host.written(), QByteArray(1, EOT));
    host.pause(150);
    QCOMPARE(host.protocol.state(), State::Idle);
    QCOMPARE(host.results, QList<TransferResult>{TransferResult::Ok});
    QCOMPARE(host.protocol.imageSent(), firmware);
    QCOMPARE(host.protocol.bytesAcknowledged(), quint64(size));
    QCOMPARE(host.progress, expectedProgress);
}

void TestTransferProtocol::announcingAgain_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<int>("pauseMs");
    QTest::addColumn<QByteArray>("answer"); // to the repeated announcement
    QTest::addColumn<int>("identities");
    QTest::addColumn<QList<TransferResult>>("results");

    const QByteArray eight(greetingLength, ETX);
    // A device polling with 0x03 hears back at once, before its record comes.
    QTest::newRow("before Download: a new device") << QByteArray() << 25 << ETX + eight << 2 << QList<TransferResult>{};
    QTest::newRow("start armed: a new device, nothing sent")
        << QByteArray("D") << 25 << eight << 2 << QList<TransferResult>{};
    QTest::newRow("mid-transfer: out of step, then a new device")
        << QByteArray("DC\x06", 3) << 25 << eight << 2 << QList<TransferResult>{TransferResult::OutOfStep};
    QTest::newRow("after the EOT: OK, then a new device")
        << QByteArray("DC\x06\x06", 4) << 25 << eight << 2 << QList<TransferResult>{TransferResult::Ok};
    // Without silence before it the 0x03 is no announcement: every byte is a poll.
    QTest::newRow("right behind the greeting: polls") << QByteArray() << 1 << QByteArray(17, ETX) << 1
                                                      << QList<TransferResult>{};
}

// A device that announces itself again after silence is a new device: its
// record bytes are never taken for polls, a start byte or replies.
void TestTransferProtocol::announcingAgain()
{
    QFETCH(QByteArray, before); // D: Download pressed; other bytes come from the device
    QFETCH(int, pauseMs);
    QFETCH(QByteArray, answer);
    QFETCH(int, identities);
    QFETCH(QList<TransferResult>, results);
    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    // Its UID holds an ACK and a CAN.
    const QByteArray record = ETX + QByteArray::fromHex("0A06182D4E5F6071EEEE0302FFFFFFFF");
    host.receive(record);
    for (char byte : before) {
        if (byte == 'D')
            host.download(patterned(10));
        else
            host.receive(QByteArray(1, byte));
    }
    host.written();
    host.pause(pauseMs - 1);
    host.receive(record);
    host.pause(40);
    QCOMPARE(host.written(), answer);
    QCOMPARE(host.identities.size(), identities);
    QCOMPARE(host.results, results);
}

void TestTransferProtocol::outOfStep_data()
{
    QTest::addColumn<int>("pauseMs");      // after the frame of block 1 went out
    QTest::addColumn<QByteArray>("bytes"); // then from the device
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QList<TransferResult>>("results");
    QTest::addColumn<int>("noise");
    QTest::addColumn<int>("block"); // where the transfer was

    const QList<TransferResult> none;
    const QList<TransferResult> outOfStep{TransferResult::OutOfStep};
    const QByteArray image = patterned(1500);
    QTest::newRow("noise while the frame crosses the line")
        << 10 << QByteArray("C\x06", 2) << frame(image, 1) << none << 1 << 2;
    QTest::newRow("a poll once the frame is across")
        << 150 << QByteArray("C\x06", 2) << QByteArray() << outOfStep << 0 << 1;
    QTest::newRow("a reply after the EOT")
        << 0 << QByteArray(3, ACK) << frame(image, 1) + EOT << outOfStep << 0 << 2;
    QTest::newRow("silence after the EOT")
        << 0 << QByteArray(2, ACK) << frame(image, 1) + EOT << QList<TransferResult>{TransferResult::Ok} << 0 << 2;
}

void TestTransferProtocol::outOfStep()
{
    QFETCH(int, pauseMs);
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, answer);
    QFETCH(QList<TransferResult>, results);
    QFETCH(int, noise);
    QFETCH(int, block);
    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    host.startTransfer(patterned(1500));
    host.receive(QByteArray(1, ACK));
    host.written();
    host.pause(pauseMs);
    host.receive(bytes);
    host.pause(150);
    QCOMPARE(host.written(), answer);
    QCOMPARE(host.results, results);
    QCOMPARE(host.protocol.noiseBytes(), noise);
    QCOMPARE(host.protocol.blocksSent(), quint32(block));
}

// The line must stay silent after the EOT for as long as the device ever
// took to answer a frame: a slow device's late answer still shows.
void TestTransferProtocol::endWatchOutlastsTheSlowestAnswer()
{
    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    host.startTransfer(patterned(1500));
    host.receive(QByteArray(1, ACK));
    host.pause(400); // storing block 1 took the device 400 ms
    host.receive(QByteArray(1, ACK));
    host.receive(QByteArray(1, ACK));
    host.pause(400);
    QCOMPARE(host.results, QList<TransferResult>{});
    host.receive(QByteArray(1, ACK)); // its answer to a frame it got after all
    QCOMPARE(host.results, QList<TransferResult>{TransferResult::OutOfStep});
}

void TestTransferProtocol::silenceLimit()
{
    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    host.protocol.setSilenceLimit(2'000'000);
    host.openLine();
    host.pause(1999);
    host.receive("C"); // any byte starts the count again
    host.pause(1998);
    QCOMPARE(host.silences, 0);
    host.pause(10'000);
    QCOMPARE(host.silences, 1); // said once
}

void TestTransferProtocol::nakRepeatsTheFrame()
{
    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    const QByteArray firmware = patterned(2500);
    host.startTransfer(firmware);
    host.receive(QByteArray(2, ACK));
    host.written();
    const qsizetype progressBefore = host.progress.size();

    host.receive(QByteArray(3, NAK));
    QCOMPARE(host.written(), frame(firmware, 1).repeated(3));
    QCOMPARE(host.progress.size(), progressBefore);
    QCOMPARE(host.protocol.naksAnswered(), 3);
    QCOMPARE(host.protocol.blocksAcknowledged(), 1);
    host.receive(QByteArray(1, ACK));
    QCOMPARE(host.written(), frame(firmware, 2));
}

void TestTransferProtocol::nakLimit_data()
{
    QTest::addColumn<bool>("limitOn");
    QTest::addColumn<QByteArray>("replies"); // of the device after block 1
    QTest::addColumn<int>("resent");
    QTest::addColumn<bool>("givenUp");
    QTest::newRow("off: resent for as long as asked") << false << QByteArray(30, NAK) << 30 << false;
    QTest::newRow("on: given up at the tenth") << true << QByteArray(10, NAK) + ACK << 9 << true;
    QTest::newRow("on: an ACK starts the count again")
        << true << QByteArray(9, NAK) + ACK + QByteArray(9, NAK) << 18 << false;
}

void TestTransferProtocol::nakLimit()
{
    QFETCH(bool, limitOn);
    QFETCH(QByteArray, replies);
    QFETCH(int, resent);
    QFETCH(bool, givenUp);
    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    host.protocol.setNakLimitOn(limitOn);
    host.startTransfer(patterned(5000));
    host.receive(QByteArray(1, ACK));
    host.receive(replies);
    QCOMPARE(host.protocol.naksAnswered(), resent);
    QCOMPARE(host.results, givenUp ? QList<TransferResult>{TransferResult::NakLimit} : QList<TransferResult>{});
    QCOMPARE(host.protocol.state(), givenUp ? State::Idle : State::Transferring);
}

void TestTransferProtocol::nakBeforeFirstBlockIsIgnored()
{
    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    host.startTransfer(patterned(1024, 1));
    host.receive(QByteArray(1, NAK)); // nothing has been sent yet
    QCOMPARE(host.written(), QByteArray());
    host.receive(QByteArray(2, ACK));
    QCOMPARE(host.written(), frame(patterned(1024, 1), 0) + EOT);

    // The next download must not repeat the previous download's last block.
    host.startTransfer(patterned(1024, 2));
    host.receive(QByteArray(1, NAK));
    QCOMPARE(host.written(), QByteArray());
    host.receive(QByteArray(1, ACK));
    QCOMPARE(host.written(), frame(patterned(1024, 2), 0));
}

void TestTransferProtocol::cancel()
{
    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    host.startTransfer(patterned(5000));
    host.receive(QByteArray(2, ACK));
    host.written();
    host.receive(QByteArray(1, CAN) + ACK);

    QCOMPARE(host.written(), QByteArray()); // an ACK after CAN is not a reply
    QCOMPARE(host.protocol.state(), State::Idle);
    QCOMPARE(host.results, QList<TransferResult>{TransferResult::Canceled});
    QCOMPARE(host.progress.last(), 40);
    QCOMPARE(host.protocol.blocksAcknowledged(), 1); // the CAN'd frame is not delivered
}

void TestTransferProtocol::finalBlockTailIsZero()
{
    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    host.startTransfer(QByteArray(2048, '\xFF'));
    host.receive(QByteArray(3, ACK));
    host.written();

    const QByteArray small = patterned(10);
    host.startTransfer(small);
    host.receive(QByteArray(1, ACK));
    const QByteArray sent = host.written();
    QCOMPARE(sent.mid(11, 1024 - 10), QByteArray(1014, '\0'));
    QCOMPARE(sent, frame(small, 0));
}

void TestTransferProtocol::secondDeviceAndNewImage()
{
    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    const QByteArray first = patterned(1100, 3);
    // The same image to a second device, then another to a third.
    for (const QByteArray &firmware : {first, first, patterned(700, 9)}) {
        host.startTransfer(firmware);
        host.receive(QByteArray(1, ACK));
        QByteArray expected = frame(firmware, 0);
        if (firmware.size() > 1024) {
            host.receive(QByteArray(1, ACK));
            expected += frame(firmware, 1);
        }
        host.receive(QByteArray(1, ACK));
        QCOMPARE(host.written(), expected + EOT);
    }
    host.pause(200);
    QCOMPARE(host.identities.size(), 3);
    QCOMPARE(host.results.size(), 3);
}

void TestTransferProtocol::startWithdrawnOrRefused_data()
{
    QTest::addColumn<bool>("refused");
    QTest::addColumn<State>("after");
    QTest::addColumn<QByteArray>("answer"); // to two more bytes
    QTest::newRow("withdrawn: still answered, never started") << false << State::AwaitingStart << QByteArray(2, ETX);
    QTest::newRow("image refused: idle, nothing sent") << true << State::Idle << QByteArray();
}

void TestTransferProtocol::startWithdrawnOrRefused()
{
    QFETCH(bool, refused);
    QFETCH(State, after);
    QFETCH(QByteArray, answer);
    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    host.receive(ETX + identity());
    host.download(patterned(10));
    host.refuseImage = refused;
    if (refused)
        host.receive(QByteArray(1, 'C'));
    else
        host.protocol.withdrawDownload();
    QCOMPARE(host.protocol.state(), after);
    host.written();
    host.receive(QByteArray("C") + ACK);
    QCOMPARE(host.written(), answer);
}

void TestTransferProtocol::resetReturnsToIdle()
{
    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    host.startTransfer(patterned(3000));
    host.receive(QByteArray(1, ACK));
    host.protocol.reset();
    QCOMPARE(host.protocol.state(), State::Idle);
    host.written();
    host.pause(20);
    host.receive(ETX + identity()); // the next device is identified afresh
    QCOMPARE(host.written(), QByteArray(greetingLength, ETX));
}

void TestTransferProtocol::beginOnlyWhenAsked_data()
{
    QTest::addColumn<int>("stage"); // how far the device has come
    QTest::newRow("no device") << 0;
    QTest::newRow("device waiting, no Download") << 1;
    QTest::newRow("Download pressed, no start byte") << 2;
    QTest::newRow("image refused") << 3;
    QTest::newRow("transferring") << 4;
}

// A begin() nobody asked for is refused and changes nothing: a host given
// it answers the next bytes as one that was not.
void TestTransferProtocol::beginOnlyWhenAsked()
{
    QFETCH(int, stage);
    QFETCH_GLOBAL(bool, byteByByte);
    Host plain(byteByByte);
    Host misused(byteByByte);
    for (Host *host : {&plain, &misused}) {
        host->refuseImage = stage == 3;
        if (stage == 4)
            host->startTransfer(patterned(3000));
        else if (stage >= 1)
            host->receive(ETX + identity());
        if (stage == 2 || stage == 3)
            host->download(patterned(10));
        if (stage == 3)
            host->receive(QByteArray(1, 'C'));
        host->written();
    }
    QVERIFY(!misused.protocol.begin(patterned(500, 7)));
    for (Host *host : {&plain, &misused})
        host->receive(QByteArray("C") + ACK + ACK);
    QCOMPARE(misused.protocol.state(), plain.protocol.state());
    QCOMPARE(misused.written(), plain.written());
}

QTEST_GUILESS_MAIN(TestTransferProtocol)
#include "tst_transferprotocol.moc"
