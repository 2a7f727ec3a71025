#include "blockchecksum.h"
#include "testdata.h"
#include "transferprotocol.h"

#include <QBuffer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using State = TransferProtocol::State;
using Outcome = TransferProtocol::Outcome;

namespace {

const char ETX = 0x03, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;

QByteArray identityRecord()
{
    QByteArray record = QByteArray::fromHex("0A1B2C3D4E5F6071");
    record += QByteArray::fromHex("EEEE0302FFFFFFFF"); // minor 3, major 2
    return record;
}

QByteArray announcement()
{
    return ETX + identityRecord();
}

// The frame the host must send for one block of firmware.
QByteArray expectedFrame(const QByteArray &firmware, int block)
{
    QByteArray payload = firmware.mid(block * 1024, 1024);
    payload.append(1024 - payload.size(), '\0');
    const quint16 crc = blockChecksum(payload.constData(), 1024);
    return STX + payload + char(crc >> 8) + char(crc & 0xFF);
}

// A device whose firmware reads fail, as a disk error would.
class FailingDevice : public QIODevice
{
public:
    FailingDevice() { open(ReadOnly); }
    bool isSequential() const override { return false; }
    qint64 size() const override { return 4096; }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64) override { return -1; }
};

// A port that hands out at most chunk bytes a read, as a slow driver does,
// and signals an arrival once for all of them.
class TricklingPort : public QIODevice
{
public:
    TricklingPort(const QByteArray &bytes, qint64 chunk)
        : bytes(bytes)
        , chunk(chunk)
    {
        open(ReadOnly | Unbuffered);
    }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 count = std::min({maxSize, chunk, qint64(bytes.size()) - at});
        std::copy_n(bytes.constData() + at, count, data);
        at += count;
        return count;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray bytes;
    qint64 chunk;
    qint64 at = 0;
};

} // namespace

// The protocol with a buffer standing in for the port and one for the file.
class Host
{
public:
    explicit Host(bool byteByByte)
        : byteByByte(byteByByte)
    {
        link.open(QIODevice::WriteOnly);
        protocol.setLink(&link);
    }

    void receive(const QByteArray &bytes)
    {
        if (!byteByByte) {
            protocol.receiveBytes(bytes.constData(), bytes.size());
            return;
        }
        for (char byte : bytes)
            protocol.receiveBytes(&byte, 1);
    }

    QByteArray written()
    {
        const QByteArray bytes = link.data();
        link.buffer().clear();
        link.seek(0);
        return bytes;
    }

    void download(const QByteArray &content)
    {
        firmware.close();
        firmware.setData(content);
        firmware.open(QIODevice::ReadOnly);
        protocol.requestDownload(&firmware, quint32(content.size()));
    }

    // Identified, Download pressed and the start byte consumed.
    void startTransfer(const QByteArray &content)
    {
        receive(announcement());
        download(content);
        receive(QByteArray(1, 'C'));
        written();
    }

    const bool byteByByte;
    QBuffer link;
    QBuffer firmware;
    TransferProtocol protocol;
    QSignalSpy progress{&protocol, &TransferProtocol::progressChanged};
    QSignalSpy outcomes{&protocol, &TransferProtocol::downloadEnded};
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
    void transfer_data();
    void transfer();
    void announcingAgain_data();
    void announcingAgain();
    void nakRepeatsTheFrame();
    void nakBeforeFirstBlockIsIgnored();
    void cancel();
    void finalBlockTailIsZero();
    void secondDeviceAndNewFile();
    void withdrawnDownloadDisarmsStart();
    void firmwareReadError_data();
    void firmwareReadError();
    void fileChangedUnderTransfer_data();
    void fileChangedUnderTransfer();
    void linkLostReturnsToIdle();
    void readFromDrainsEveryByte();
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

    const QByteArray record = announcement();
    const QByteArray eight(8, ETX);
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
    QSignalSpy identified(&host.protocol, &TransferProtocol::identified);
    host.receive(prefix);
    QCOMPARE(host.written(), QByteArray());
    host.receive(firstRead);
    host.receive(secondRead);

    QCOMPARE(host.protocol.state(), State::AwaitingStart);
    QCOMPARE(host.written(), expectedReply);
    QCOMPARE(identified.count(), 1);
    const QByteArray record = identified.at(0).at(0).toByteArray();
    QCOMPARE(record, firstRead.mid(1, 16) + secondRead.left(17 - firstRead.size()));
}

void TestTransferProtocol::downloadInEachState_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<bool>("pressTwice");
    QTest::addColumn<State>("expected");

    QTest::newRow("Idle") << QByteArray() << false << State::Idle;
    QTest::newRow("ReadingIdentity") << announcement().left(5) << false << State::ReadingIdentity;
    QTest::newRow("AwaitingStart") << announcement() << false << State::StartPending;
    QTest::newRow("StartPending") << announcement() << true << State::StartPending;
    QTest::newRow("Transferring") << announcement() << true << State::Transferring;
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
        host.receive(QByteArray(1, 'C'));
        host.receive(QByteArray(1, ACK));
    }
    host.written();
    QBuffer other;
    other.setData(patterned(100, 5));
    other.open(QIODevice::ReadOnly);
    host.protocol.requestDownload(&other, 100);
    if (pressTwice && expected != State::Transferring)
        host.protocol.requestDownload(&other, 100);

    QCOMPARE(host.protocol.state(), expected);
    QCOMPARE(host.written(), QByteArray()); // a press never writes
    if (expected == State::Transferring) {
        // The running transfer goes on with its own file.
        host.receive(QByteArray(1, ACK));
        QCOMPARE(host.written(), expectedFrame(patterned(3000), 1));
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
    host.receive(announcement());
    host.download(patterned(10));
    host.written();

    host.receive(QByteArray(1, startByte));
    QCOMPARE(host.protocol.state(), State::Transferring);
    QCOMPARE(host.written(), QByteArray());
    QCOMPARE(host.progress.count(), 1);
    QCOMPARE(host.progress.at(0).at(0).toInt(), 0);

    host.receive(QByteArray(1, ACK));
    QCOMPARE(host.written(), expectedFrame(patterned(10), 0));
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
        QCOMPARE(host.written(), expectedFrame(firmware, block));
        QCOMPARE(host.protocol.state(), State::Transferring);
    }
    // Bytes other than ACK, NAK and CAN change nothing.
    host.receive(QByteArray("\x03\x00\x02zz", 5));
    QCOMPARE(host.written(), QByteArray());

    host.receive(QByteArray(1, ACK));
    QCOMPARE(host.written(), QByteArray(1, EOT));
    QCOMPARE(host.protocol.state(), State::Idle);
    QCOMPARE(host.outcomes.count(), 1);
    QCOMPARE(host.outcomes.at(0).at(0).value<Outcome>(), Outcome::Completed);
    QCOMPARE(TransferProtocol::outcomeText(Outcome::Completed), QStringLiteral("Download OK"));
    QCOMPARE(host.protocol.blocksSent(), blocks);

    QList<int> progress;
    for (const QList<QVariant> &arguments : std::as_const(host.progress))
        progress.append(arguments.at(0).toInt());
    QCOMPARE(progress, expectedProgress);
}

void TestTransferProtocol::announcingAgain_data()
{
    QTest::addColumn<bool>("armed");
    QTest::addColumn<QByteArray>("answer"); // to the repeated announcement
    QTest::newRow("before Download: every byte is a poll") << false << QByteArray(17, ETX);
    // Why a device never announces again once it heard anything back.
    QTest::newRow("start armed: the start byte, then replies") << true << expectedFrame(patterned(10), 0);
}

// A device that announces itself a second time after the greeting is not
// read as a new device: its bytes mean what any byte means in that state.
void TestTransferProtocol::announcingAgain()
{
    QFETCH(bool, armed);
    QFETCH(QByteArray, answer);
    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    const QByteArray withAck = ETX + QByteArray::fromHex("0A1B06") + identityRecord().mid(3);
    host.receive(withAck);
    QCOMPARE(host.written(), QByteArray(8, ETX));
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
    host.receive(QByteArray(1, ACK));
    host.receive(QByteArray(1, ACK));
    host.written();
    const int progressBefore = host.progress.count();

    host.receive(QByteArray(3, NAK));
    QCOMPARE(host.written(), expectedFrame(firmware, 1).repeated(3));
    QCOMPARE(host.progress.count(), progressBefore);
    QCOMPARE(host.protocol.naksAnswered(), 3);
    host.receive(QByteArray(1, ACK));
    QCOMPARE(host.written(), expectedFrame(firmware, 2));
}

void TestTransferProtocol::nakBeforeFirstBlockIsIgnored()
{
    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    host.startTransfer(patterned(1024, 1));
    host.receive(QByteArray(1, NAK)); // nothing has been sent yet
    QCOMPARE(host.written(), QByteArray());
    host.receive(QByteArray(2, ACK));
    QCOMPARE(host.written(), expectedFrame(patterned(1024, 1), 0) + EOT);

    // The next download must not repeat the previous download's last block.
    host.startTransfer(patterned(1024, 2));
    host.receive(QByteArray(1, NAK));
    QCOMPARE(host.written(), QByteArray());
    host.receive(QByteArray(1, ACK));
    QCOMPARE(host.written(), expectedFrame(patterned(1024, 2), 0));
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
    QCOMPARE(host.outcomes.count(), 1);
    QCOMPARE(host.outcomes.at(0).at(0).value<Outcome>(), Outcome::Canceled);
    QCOMPARE(TransferProtocol::outcomeText(Outcome::Canceled), QStringLiteral("DOWNLOAD CANCELED"));
    QCOMPARE(host.progress.last().at(0).toInt(), 40);
}

void TestTransferProtocol::finalBlockTailIsZero()
{
    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    const QByteArray large(2048, '\xFF');
    host.startTransfer(large);
    host.receive(QByteArray(3, ACK));
    host.written();

    const QByteArray small = patterned(10);
    host.startTransfer(small);
    host.receive(QByteArray(1, ACK));
    const QByteArray frame = host.written();
    QCOMPARE(frame.mid(11, 1024 - 10), QByteArray(1014, '\0'));
    QCOMPARE(frame, expectedFrame(small, 0));
}

void TestTransferProtocol::secondDeviceAndNewFile()
{
    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    QSignalSpy identified(&host.protocol, &TransferProtocol::identified);
    const QByteArray first = patterned(1100, 3);
    // The same file to a second device, then another file to a third.
    for (const QByteArray &firmware : {first, first, patterned(700, 9)}) {
        host.startTransfer(firmware);
        host.receive(QByteArray(1, ACK));
        QByteArray expected = expectedFrame(firmware, 0);
        if (firmware.size() > 1024) {
            host.receive(QByteArray(1, ACK));
            expected += expectedFrame(firmware, 1);
        }
        host.receive(QByteArray(1, ACK));
        QCOMPARE(host.written(), expected + EOT);
    }
    QCOMPARE(identified.count(), 3);
    QCOMPARE(host.outcomes.count(), 3);
}

void TestTransferProtocol::withdrawnDownloadDisarmsStart()
{
    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    host.receive(announcement());
    host.download(patterned(10));
    host.protocol.withdrawDownload();
    QCOMPARE(host.protocol.state(), State::AwaitingStart);
    host.written();
    host.receive(QByteArray("CC"));
    QCOMPARE(host.written(), QByteArray(2, ETX)); // still answered, never started
}

void TestTransferProtocol::firmwareReadError_data()
{
    QTest::addColumn<bool>("closed");
    QTest::newRow("read fails") << false;
    QTest::newRow("file closed before the start") << true;
}

void TestTransferProtocol::firmwareReadError()
{
    QFETCH_GLOBAL(bool, byteByByte);
    QFETCH(bool, closed);
    Host host(byteByByte);
    FailingDevice failing;
    host.receive(announcement());
    if (closed) {
        host.download(patterned(3000));
        host.firmware.close();
    } else {
        host.protocol.requestDownload(&failing, 4096);
    }
    host.written();

    host.receive(QByteArray("C") + ACK);
    QCOMPARE(host.written(), QByteArray()); // no frame of garbage
    QCOMPARE(host.protocol.state(), State::Idle);
    QCOMPARE(host.outcomes.at(0).at(0).value<Outcome>(), Outcome::FirmwareUnreadable);
}

void TestTransferProtocol::fileChangedUnderTransfer_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("midway");
    QTest::addColumn<Outcome>("outcome");
    for (const char *change : {"truncated", "rewritten in place", "appended to", "renamed over", "deleted"})
        QTest::newRow(change) << QString::fromLatin1(change) << true << Outcome::Completed;
    QTest::newRow("truncated before the start") << QStringLiteral("truncated") << false << Outcome::FirmwareChanged;
    QTest::newRow("appended to before the start") << QStringLiteral("appended to") << false << Outcome::FirmwareChanged;
}

// A build that rewrites the firmware while a device is being flashed: the
// device gets the file as it was when its transfer started, or nothing and a
// clear outcome, never a mix.
void TestTransferProtocol::fileChangedUnderTransfer()
{
    QFETCH_GLOBAL(bool, byteByByte);
    QFETCH(QString, change);
    QFETCH(bool, midway);
    QFETCH(Outcome, outcome);
#ifdef Q_OS_WIN
    if (change == QLatin1String("renamed over") || change == QLatin1String("deleted"))
        QSKIP("Windows lets no one remove or replace a file that is open");
#endif
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("firmware.kvf"));
    // Larger than the file's read buffer, so the disk is read during the transfer.
    const QByteArray original = patterned(40 * 1024 + 100, 1);
    const QByteArray rebuilt = patterned(original.size(), 2);
    const auto writeFile = [](const QString &name, const QByteArray &bytes, QIODevice::OpenMode mode) {
        QFile out(name);
        QVERIFY(out.open(mode) && out.write(bytes) == bytes.size());
    };
    writeFile(path, original, QIODevice::WriteOnly);
    QFile firmware(path);
    QVERIFY(firmware.open(QIODevice::ReadOnly));
    Host host(byteByByte);
    host.receive(announcement());
    host.protocol.requestDownload(&firmware, quint32(original.size()));
    host.written();
    const auto changeFile = [&] {
        if (change == QLatin1String("truncated"))
            writeFile(path, rebuilt.left(10000), QIODevice::WriteOnly | QIODevice::Truncate);
        else if (change == QLatin1String("rewritten in place"))
            writeFile(path, rebuilt, QIODevice::WriteOnly | QIODevice::Truncate);
        else if (change == QLatin1String("appended to"))
            writeFile(path, rebuilt, QIODevice::Append);
        else if (change == QLatin1String("renamed over")) {
            writeFile(path + ".new", rebuilt, QIODevice::WriteOnly);
            QVERIFY(QFile::remove(path) && QFile::rename(path + ".new", path));
        } else
            QVERIFY(QFile::remove(path));
    };
    if (!midway)
        changeFile();
    host.receive(QByteArray("C") + ACK + ACK);
    if (midway)
        changeFile();
    for (int i = 0; i < 41 && host.outcomes.isEmpty(); ++i)
        host.receive(QByteArray(1, ACK));

    const QByteArray sent = host.written();
    QCOMPARE(host.outcomes.count(), 1);
    QCOMPARE(host.outcomes.at(0).at(0).value<Outcome>(), outcome);
    if (outcome == Outcome::Completed) {
        QByteArray frames;
        for (int block = 0; block < 41; ++block)
            frames += expectedFrame(original, block);
        QCOMPARE(sent, frames + EOT);
        QCOMPARE(host.protocol.imageSent(), original);
    } else {
        QCOMPARE(sent, QByteArray());
        QCOMPARE(TransferProtocol::outcomeText(outcome), QStringLiteral("Firmware changed during download: stopped"));
    }
}

void TestTransferProtocol::linkLostReturnsToIdle()
{
    QFETCH_GLOBAL(bool, byteByByte);
    Host host(byteByByte);
    host.startTransfer(patterned(3000));
    host.receive(QByteArray(1, ACK));
    host.protocol.linkLost();
    QCOMPARE(host.protocol.state(), State::Idle);
    host.written();
    host.receive(announcement()); // the next device is identified afresh
    QCOMPARE(host.written(), QByteArray(8, ETX));
}

void TestTransferProtocol::readFromDrainsEveryByte()
{
    QFETCH_GLOBAL(bool, byteByByte);
    TricklingPort port(announcement() + QByteArray(3000, 'p'), byteByByte ? 1 : 700);
    Host host(byteByByte);
    host.protocol.readFrom(port);
    QCOMPARE(host.written(), QByteArray(8 + 3000, ETX));
}

QTEST_GUILESS_MAIN(TestTransferProtocol)
#include "tst_transferprotocol.moc"
