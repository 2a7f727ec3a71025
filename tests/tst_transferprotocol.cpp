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

// The protocol fed as a driver feeds it, whole reads or byte by byte: the
// reply of each step written, the image handed in when it is asked for.
class Host
{
public:
    explicit Host(bool byteByByte) : byteByByte(byteByByte) {}

    void receive(const QByteArray &bytes)
    {
        if (!byteByByte) {
            feed(bytes);
            return;
        }
        for (char byte : bytes)
            feed(QByteArrayView(&byte, 1));
    }

    QByteArray written() { return std::exchange(replies, {}); }

    void download(const QByteArray &content)
    {
        image = content;
        protocol.requestDownload();
    }

    // Identified, Download pressed and the start byte consumed.
    void startTransfer(const QByteArray &content)
    {
        receive(ETX + identity());
        download(content);
        receive(QByteArray(1, 'C'));
        written();
    }

    const bool byteByByte;
    TransferProtocol protocol;
    QByteArray image;
    bool refuseImage = false;
    bool downloadOnIdentity = false; // as kavri-flash presses Download
    QList<QByteArray> identities;
    QList<int> progress;
    QList<TransferResult> results;

private:
    void feed(QByteArrayView bytes)
    {
        while (!bytes.isEmpty()) {
            const TransferProtocol::Step step = protocol.feed(bytes);
            replies += step.reply.toByteArray();
            bytes = bytes.sliced(step.consumed);
            react(step.event);
        }
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
};

void TestTransferProtocol::initTestCase_data()
{
    QTest::addColumn<bool>("byteByByte");
    QTest::newRow("whole") << false;
    QTest::newRow("byte by byte") << true;
}

void TestTransferProtocol::identification_data()
{
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<QByteArray>("firstRead");
    QTest::addColumn<QByteArray>("secondRead");
    QTest::addColumn<QByteArray>("expectedReply");

    const QByteArray record = ETX + identity();
    const QByteArray eight(GreetingLength, ETX);
    QTest::newRow("identity and one more byte in one read")
        << QByteArray() << record + 'x' << QByteArray() << eight + ETX;
    QTest::newRow("identity across reads")
        << QByteArray() << record.left(6) << record.mid(6) << eight;
    QTest::newRow("garbage before the start byte is ignored")
        << QByteArray("\x01\x06\x15\x18\xFFz", 6) << record << QByteArray() << eight;
    QTest::newRow("a 0x03 inside the record is data")
        << QByteArray() << ETX + QByteArray(16, ETX) << QByteArray("ab") << eight + ETX + ETX;
}

void TestTransferProtocol::identification()
{
    QFETCH(QByteArray, prefix);
    QFETCH(QByteArray, firstRead);
    QFETCH(QByteArray, secondRead);
    QFETCH(QByteArray, expectedReply);

    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    host.receive(prefix);
    QCOMPARE(host.written(), QByteArray());
    host.receive(firstRead);
    host.receive(secondRead);

    QCOMPARE(host.protocol.state(), State::AwaitingStart);
    QCOMPARE(host.written(), expectedReply);
    QCOMPARE(host.identities, QList<QByteArray>{firstRead.mid(1, 16) + secondRead.left(17 - firstRead.size())});
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
    QCOMPARE(host.written(), QByteArray(GreetingLength, ETX) + frame(patterned(10), 0));
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
    QCOMPARE(host.protocol.state(), State::Idle);
    QCOMPARE(host.results, QList<TransferResult>{TransferResult::Ok});
    QCOMPARE(host.protocol.imageSent(), firmware);
    QCOMPARE(host.protocol.bytesAcknowledged(), quint64(size));
    QCOMPARE(host.progress, expectedProgress);
}

void TestTransferProtocol::announcingAgain_data()
{
    QTest::addColumn<bool>("armed");
    QTest::addColumn<QByteArray>("answer"); // to the repeated announcement
    QTest::newRow("before Download: every byte is a poll") << false << QByteArray(17, ETX);
    // Why a device never announces again once it heard anything back.
    QTest::newRow("start armed: the start byte, then replies") << true << frame(patterned(10), 0);
}

// A device that announces itself a second time after the greeting is not
// read as a new device: its bytes mean what any byte means in that state.
void TestTransferProtocol::announcingAgain()
{
    QFETCH(bool, armed);
    QFETCH(QByteArray, answer);
    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    const QByteArray withAck = ETX + QByteArray::fromHex("0A1B06") + identity().mid(3);
    host.receive(withAck);
    QCOMPARE(host.written(), QByteArray(GreetingLength, ETX));
    if (armed)
        host.download(patterned(10));
    host.receive(withAck);
    QCOMPARE(host.written(), answer);
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
    host.receive(ETX + identity()); // the next device is identified afresh
    QCOMPARE(host.written(), QByteArray(GreetingLength, ETX));
}

QTEST_GUILESS_MAIN(TestTransferProtocol)
#include "tst_transferprotocol.moc"
