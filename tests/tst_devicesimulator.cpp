#include "devicesimulator.h"
#include "simulateddevice.h"

#include "testdata.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace Wire;

using Outcome = DeviceSimulator::Outcome;

// A host written straight from the wire rules, independent of the simulator,
// so the two can be checked against each other.
class ReferenceHost
{
public:
    enum class State { Idle, ReadingIdentity, AwaitingStart, StartPending, Transferring };
    enum class Damage { None, BadChecksum, BadStx, Truncated };

    explicit ReferenceHost(const QByteArray &file) : fileBytes(file) {}

    // The "user" presses Download once this many bytes were answered; -1 never.
    int answersBeforeDownload = 2;
    // Spoils the first send of damagedBlock (1-based) only.
    Damage damage = Damage::None;
    int damagedBlock = 0;

    QList<QByteArray> identities;
    int naksSeen = 0;
    int cansSeen = 0;

    State state() const { return hostState; }
    void pressDownload() { hostState = State::StartPending; }

    QByteArray receive(const QByteArray &fromDevice)
    {
        QByteArray reply;
        for (const char byte : fromDevice)
            reply += receiveByte(byte);
        return reply;
    }

private:
    QByteArray receiveByte(char byte)
    {
        switch (hostState) {
        case State::Idle:
            if (byte == ETX) {
                identity.clear();
                hostState = State::ReadingIdentity;
            }
            return {};
        case State::ReadingIdentity:
            identity += byte;
            if (identity.size() < 16)
                return {};
            identities.append(identity);
            answered = 0;
            hostState = State::AwaitingStart;
            return QByteArray(8, ETX);
        case State::AwaitingStart:
            if (++answered == answersBeforeDownload)
                pressDownload();
            return QByteArray(1, ETX);
        case State::StartPending:
            sentBlocks = 0;
            hostState = State::Transferring;
            return {};
        case State::Transferring:
            return receiveTransferByte(byte);
        }
        return {};
    }

    QByteArray receiveTransferByte(char byte)
    {
        if (byte == ACK && sentBlocks < blockCount())
            return frame(++sentBlocks);
        if (byte == ACK) {
            hostState = State::Idle;
            return QByteArray(1, EOT);
        }
        if (byte == NAK && sentBlocks > 0) {
            ++naksSeen;
            return frame(sentBlocks);
        }
        if (byte == CAN) {
            ++cansSeen;
            hostState = State::Idle;
        }
        return {};
    }

    int blockCount() const { return int((fileBytes.size() + blockSize - 1) / blockSize); }

    QByteArray frame(int block)
    {
        QByteArray frame = Wire::frame(fileBytes, block - 1);
        if (block == damagedBlock)
            spoil(frame);
        return frame;
    }

    void spoil(QByteArray &frame)
    {
        switch (std::exchange(damage, Damage::None)) {
        case Damage::BadChecksum:
            frame[frame.size() - 1] = char(frame.back() ^ 0x01);
            break;
        case Damage::BadStx:
            frame[0] = 0x01;
            break;
        case Damage::Truncated:
            frame.truncate(500);
            break;
        case Damage::None:
            break;
        }
    }

    QByteArray fileBytes;
    State hostState = State::Idle;
    QByteArray identity;
    int answered = 0;
    int sentBlocks = 0;
};

// Simulator and reference host wired back to back with an instant line.
struct Session
{
    Session(const DeviceSimulator::Settings &settings, const QByteArray &file)
        : device(settings), host(file)
    {
    }

    void deliver(DeviceSimulator::Output output)
    {
        for (;;) {
            events |= output.events;
            const QByteArray reply = host.receive(output.bytes + output.announcement);
            if (reply.isEmpty())
                return;
            output = device.feed(reply);
        }
    }

    void tickUntilFinished()
    {
        for (int tick = 0; tick < 1000 && !device.isFinished(); ++tick)
            deliver(device.tick());
    }

    void run()
    {
        deliver(device.start());
        tickUntilFinished();
    }

    DeviceSimulator device;
    ReferenceHost host;
    DeviceSimulator::Events events;
};

QByteArray patternFile(int size)
{
    QByteArray file(size, '\0');
    for (int i = 0; i < size; ++i)
        file[i] = char((i * 7 + i / 251) & 0xFF);
    return file;
}

QByteArray zeroPadded(const QByteArray &file)
{
    const int padding = int((blockSize - file.size() % blockSize) % blockSize);
    return file + QByteArray(padding, '\0');
}

// Ticks the device until it says something, as a driver's clock would.
DeviceSimulator::Output tickUntilSpeaks(DeviceSimulator &device)
{
    DeviceSimulator::Output output;
    for (int tick = 0; tick < 10 && output.bytes.isEmpty(); ++tick)
        output = device.tick();
    return output;
}

// Reads what the slave end holds; false once the line is hung up.
bool readAvailable(int fd, QByteArray &into)
{
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0)
            into.append(buffer, count);
        else if (count < 0 && errno == EINTR)
            continue;
        else
            return count < 0 && errno == EAGAIN;
    }
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::write(fd, bytes.constData() + done, bytes.size() - done);
        if (count < 0 && errno != EINTR)
            return false;
        done += qMax<ssize_t>(count, 0);
    }
    return true;
}

} // namespace

class TestDeviceSimulator : public QObject
{
    Q_OBJECT
private slots:
    void transfersFileZeroPadded_data();
    void transfersFileZeroPadded();
    void injectedFaults_data();
    void injectedFaults();
    void damagedFrameIsRefusedThenAccepted_data();
    void damagedFrameIsRefusedThenAccepted();
    void lateAnswerReturnsToPolling();
    void nextDeviceAnnouncesWithNewUid();
    void noiseNeverContainsAnnounceByte_data();
    void noiseNeverContainsAnnounceByte();
    void ptyCarriesRawBytesAndHangsUp_data();
    void ptyCarriesRawBytesAndHangsUp();
};

void TestDeviceSimulator::transfersFileZeroPadded_data()
{
    QTest::addColumn<int>("size");
    for (const int size : {1, 1023, 1024, 1025, 2048, 100 * 1024 + 17})
        QTest::addRow("%d bytes", size) << size;
}

void TestDeviceSimulator::transfersFileZeroPadded()
{
    QFETCH(int, size);
    const QByteArray file = patternFile(size);
    Session session({}, file);
    session.run();

    QCOMPARE(session.device.devices().size(), 1);
    QCOMPARE(session.device.devices().first().outcome, Outcome::Completed);
    QCOMPARE(session.device.devices().first().image, zeroPadded(file));
    QCOMPARE(session.device.blocksReceived(), int(zeroPadded(file).size() / blockSize));
    QCOMPARE(session.device.naksSent(), 0);
    QCOMPARE(session.host.state(), ReferenceHost::State::Idle);
}

void TestDeviceSimulator::injectedFaults_data()
{
    QTest::addColumn<QList<int>>("nakBlocks");
    QTest::addColumn<double>("nakProbability");
    QTest::addColumn<int>("cancelAt");
    QTest::addColumn<int>("unplugAt");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<int>("acceptedBlocks");
    QTest::addColumn<int>("naks"); // -1: some, as many as the host saw

    QTest::newRow("nak first block") << QList<int>{1} << 0.0 << 0 << 0 << Outcome::Completed << 20 << 1;
    QTest::newRow("nak blocks 2 and 20") << QList<int>{2, 20} << 0.0 << 0 << 0 << Outcome::Completed << 20 << 2;
    QTest::newRow("random naks") << QList<int>{} << 0.3 << 0 << 0 << Outcome::Completed << 20 << -1;
    QTest::newRow("cancel at block 3") << QList<int>{} << 0.0 << 3 << 0 << Outcome::Cancelled << 2 << 0;
    QTest::newRow("unplug at block 5") << QList<int>{} << 0.0 << 0 << 5 << Outcome::Unplugged << 4 << 0;
}

void TestDeviceSimulator::injectedFaults()
{
    QFETCH(QList<int>, nakBlocks);
    QFETCH(double, nakProbability);
    QFETCH(int, cancelAt);
    QFETCH(int, unplugAt);
    QFETCH(Outcome, outcome);
    QFETCH(int, acceptedBlocks);
    QFETCH(int, naks);

    DeviceSimulator::Settings settings;
    settings.nakBlocks = QSet<int>(nakBlocks.begin(), nakBlocks.end());
    settings.nakProbability = nakProbability;
    settings.seed = 7;
    settings.cancelAtBlock = cancelAt;
    settings.unplugAtBlock = unplugAt;
    const QByteArray file = patternFile(20 * blockSize - 100);
    Session session(settings, file);
    session.run();

    const DeviceSimulator::DeviceSession &device = session.device.devices().first();
    QCOMPARE(device.outcome, outcome);
    QCOMPARE(device.image, zeroPadded(file).left(acceptedBlocks * blockSize));
    QCOMPARE(session.device.naksSent(), session.host.naksSeen);
    if (naks >= 0)
        QCOMPARE(session.host.naksSeen, naks);
    else
        QVERIFY(session.host.naksSeen > 0);
    QCOMPARE(session.host.cansSeen, cancelAt ? 1 : 0);
    QCOMPARE(session.events.testFlag(DeviceSimulator::UnplugRequested), unplugAt != 0);
    QVERIFY(session.device.isFinished());
}

void TestDeviceSimulator::damagedFrameIsRefusedThenAccepted_data()
{
    QTest::addColumn<ReferenceHost::Damage>("damage");
    QTest::newRow("bad checksum") << ReferenceHost::Damage::BadChecksum;
    QTest::newRow("bad start byte") << ReferenceHost::Damage::BadStx;
    QTest::newRow("short frame") << ReferenceHost::Damage::Truncated;
}

void TestDeviceSimulator::damagedFrameIsRefusedThenAccepted()
{
    QFETCH(ReferenceHost::Damage, damage);
    const QByteArray file = patternFile(3 * blockSize);
    Session session({}, file);
    session.host.damage = damage;
    session.host.damagedBlock = 2;
    session.run();

    QCOMPARE(session.device.badFrames(), 1);
    QCOMPARE(session.host.naksSeen, 1);
    QCOMPARE(session.device.devices().first().image, file);
    QCOMPARE(session.device.devices().first().outcome, Outcome::Completed);
}

void TestDeviceSimulator::lateAnswerReturnsToPolling()
{
    const QByteArray file = patternFile(1500);
    Session session({}, file);
    session.host.answersBeforeDownload = -1;
    session.deliver(session.device.start());

    const DeviceSimulator::Output poll = tickUntilSpeaks(session.device);
    QCOMPARE(poll.bytes, QByteArray(1, DeviceSimulator::pollByte));
    const QByteArray lateAnswer = session.host.receive(poll.bytes);
    const DeviceSimulator::Output ack = tickUntilSpeaks(session.device);
    QCOMPARE(ack.bytes, QByteArray(1, ACK));

    // The answer to the poll and the host's answer to our ACK both arrive
    // where the device expected the first frame.
    QVERIFY(session.device.feed(lateAnswer).bytes.isEmpty());
    QVERIFY(session.device.feed(session.host.receive(ack.bytes)).bytes.isEmpty());
    const DeviceSimulator::Output repoll = tickUntilSpeaks(session.device);
    QCOMPARE(repoll.bytes, QByteArray(1, DeviceSimulator::pollByte));

    session.host.pressDownload();
    session.deliver(repoll);
    session.tickUntilFinished();
    QCOMPARE(session.device.badFrames(), 0);
    QCOMPARE(session.device.devices().first().image, zeroPadded(file));
}

void TestDeviceSimulator::nextDeviceAnnouncesWithNewUid()
{
    DeviceSimulator::Settings settings;
    settings.uid = QByteArray::fromHex("1122334455667780");
    settings.versionMajor = 3;
    settings.versionMinor = 14;
    settings.deviceCount = 3;
    const QByteArray file = patternFile(1500);
    Session session(settings, file);
    session.run();

    const QByteArray rest = QByteArray::fromHex("0000") + char(14) + char(3) + QByteArray(4, '\0');
    const QList<QByteArray> expected = {
        QByteArray::fromHex("1122334455667780") + rest,
        QByteArray::fromHex("1122334455667781") + rest,
        QByteArray::fromHex("1122334455667782") + rest,
    };
    QCOMPARE(session.host.identities, expected);
    QCOMPARE(session.device.devices().size(), 3);
    for (const DeviceSimulator::DeviceSession &device : session.device.devices()) {
        QCOMPARE(device.outcome, Outcome::Completed);
        QCOMPARE(device.image, zeroPadded(file));
    }
}

void TestDeviceSimulator::noiseNeverContainsAnnounceByte_data()
{
    QTest::addColumn<quint32>("seed");
    for (const quint32 seed : {1u, 2u, 99u, 123456u})
        QTest::addRow("seed %u", seed) << seed;
}

void TestDeviceSimulator::noiseNeverContainsAnnounceByte()
{
    QFETCH(quint32, seed);
    DeviceSimulator::Settings settings;
    settings.seed = seed;
    settings.noiseBytes = 4096;
    settings.deviceCount = 2;
    const QByteArray file = patternFile(3000);
    Session session(settings, file);

    const DeviceSimulator::Output announcement = session.device.start();
    const QByteArray noise = announcement.bytes;
    QCOMPARE(noise.size(), settings.noiseBytes);
    QVERIFY(!noise.contains(ETX));
    QVERIFY(QSet<char>(noise.begin(), noise.end()).size() > 200);
    QCOMPARE(announcement.announcement.size(), 17);
    QCOMPARE(announcement.announcement.at(0), ETX);

    session.deliver(announcement);
    session.tickUntilFinished();
    QCOMPARE(session.host.identities.size(), 2);
    for (const DeviceSimulator::DeviceSession &device : session.device.devices())
        QCOMPARE(device.image, zeroPadded(file));
}

void TestDeviceSimulator::ptyCarriesRawBytesAndHangsUp_data()
{
    QTest::addColumn<int>("unplugAt");
    QTest::newRow("complete, then hang up") << 0;
    QTest::newRow("unplug at block 2") << 2;
}

void TestDeviceSimulator::ptyCarriesRawBytesAndHangsUp()
{
    QFETCH(int, unplugAt);
    DeviceSimulator::Settings settings;
    // Interrupt, CR, LF, XON, XOFF, DEL: each altered or swallowed by a cooked tty.
    settings.uid = QByteArray::fromHex("030d0a11137f1c00");
    settings.unplugAtBlock = unplugAt;
    SimulatedDevice device(settings);
    device.setPollInterval(5);
    QVERIFY2(device.open(), qPrintable(device.errorString()));

    const int fd = ::open(device.slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    const auto closeSlave = qScopeGuard([fd] { ::close(fd); });
    QByteArray file;
    for (int i = 0; i < 3 * blockSize; ++i)
        file.append(char(i & 0xFF));
    ReferenceHost host(file);
    bool hostSawHangUp = false;
    bool writesFailed = false;
    QSocketNotifier notifier(fd, QSocketNotifier::Read);
    connect(&notifier, &QSocketNotifier::activated, this, [&] {
        QByteArray received;
        hostSawHangUp = !readAvailable(fd, received);
        notifier.setEnabled(!hostSawHangUp);
        writesFailed |= !writeAll(fd, host.receive(received));
    });
    QSignalSpy finished(&device, &SimulatedDevice::allDone);
    QSignalSpy unplugged(&device, &SimulatedDevice::unplugged);

    device.start();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
    QVERIFY(!writesFailed);
    QCOMPARE(host.identities, QList<QByteArray>{settings.uid + QByteArray::fromHex("0000000100000000")});
    const QByteArray image = device.simulator().devices().first().image;
    if (unplugAt) {
        QCOMPARE(image, file.left(blockSize));
    } else {
        QCOMPARE(image, file);
        QCOMPARE(device.statistics().turnaroundsNs().size(), 3);
        QVERIFY(!hostSawHangUp);
        QCOMPARE(unplugged.size(), 0);
        device.hangUp();
    }
    QCOMPARE(unplugged.size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(hostSawHangUp, 5000);
}

QTEST_GUILESS_MAIN(TestDeviceSimulator)
#include "tst_devicesimulator.moc"
