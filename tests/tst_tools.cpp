// kavri-flash and kavri-devsim as a user runs them: separate processes on a
// pseudo-terminal, judged by exit status, output and the bytes that arrived.

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int Block = 1024;
constexpr int RunTimeoutMs = 15000;
constexpr int SpeakAfterMs = 600;

QByteArray patterned(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 13 + i / 509) & 0xFF);
    return bytes;
}

QByteArray padded(QByteArray bytes)
{
    bytes.append((Block - bytes.size() % Block) % Block, '\0');
    return bytes;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

struct Finished
{
    int exitCode = -1;
    QString out;
    QString err;
};

Finished waitFor(QProcess &process)
{
    Finished result;
    if (!process.waitForFinished(RunTimeoutMs)) {
        process.kill();
        process.waitForFinished();
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

Finished runFlash(const QStringList &arguments)
{
    QProcess flash;
    flash.start(QStringLiteral(KAVRI_FLASH), arguments);
    return waitFor(flash);
}

// kavri-devsim on a pseudo-terminal of its own; the first line it prints is
// the path the host opens.
class Simulator
{
public:
    ~Simulator()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    bool start(const QStringList &arguments)
    {
        m_process.start(QStringLiteral(KAVRI_DEVSIM), QStringList{QStringLiteral("--pty")} + arguments);
        while (!m_process.canReadLine()) {
            if (!m_process.waitForReadyRead(RunTimeoutMs))
                return false;
        }
        path = QString::fromLocal8Bit(m_process.readLine()).trimmed();
        return path.startsWith(QLatin1Char('/'));
    }

    Finished finish() { return waitFor(m_process); }

    QString path;

private:
    QProcess m_process;
};

// A pseudo-terminal whose device end the test plays by hand.
class TestLine
{
public:
    TestLine()
    {
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&m_master, &m_slave, nullptr, &raw, nullptr) != 0)
            return;
        fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
        path = QString::fromLocal8Bit(ttyname(m_slave));
        // Every later open of the slave shows here: only the host opens it.
        m_openWatch = inotify_init1(IN_NONBLOCK);
        inotify_add_watch(m_openWatch, path.toLocal8Bit().constData(), IN_OPEN);
    }
    ~TestLine()
    {
        ::close(m_openWatch);
        ::close(m_master);
        ::close(m_slave);
    }

    bool wasOpened() const
    {
        char events[256];
        return ::read(m_openWatch, events, sizeof events) > 0;
    }

    bool send(const QByteArray &bytes) const
    {
        return ::write(m_master, bytes.constData(), bytes.size()) == bytes.size();
    }

    // What the host wrote to the line so far.
    QByteArray received() const
    {
        QByteArray bytes;
        char buffer[2048];
        ssize_t count;
        while ((count = ::read(m_master, buffer, sizeof buffer)) > 0)
            bytes.append(buffer, count);
        return bytes;
    }

    QString path;

private:
    int m_master = -1;
    int m_slave = -1; // held open so the line is never hung up
    int m_openWatch = -1;
};

QStringList linesStartingWith(const QString &text, const QString &prefix)
{
    QStringList found;
    for (const QString &line : text.split(u'\n')) {
        if (line.startsWith(prefix))
            found.append(line);
    }
    return found;
}

} // namespace

class TestTools : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void flashesDevices_data();
    void flashesDevices();
    void deviceFaults_data();
    void deviceFaults();
    void silenceTimesOut_data();
    void silenceTimesOut();
    void stopSignalSaysWhere();
    void badInputNeverTouchesLine_data();
    void badInputNeverTouchesLine();
    void listsPorts();

private:
    QTemporaryDir m_dir;
    QString m_firmwarePath;
};

void TestTools::init()
{
    QVERIFY(m_dir.isValid());
    // Each test starts without a firmware file, so none inherits one.
    m_firmwarePath = m_dir.filePath(QStringLiteral("firmware.kvf"));
    QFile::remove(m_firmwarePath);
    QDir(m_dir.path()).rmdir(QStringLiteral("firmware.kvf"));
}

void TestTools::flashesDevices_data()
{
    QTest::addColumn<int>("devices");
    QTest::addColumn<int>("size");
    QTest::newRow("one device") << 1 << 5 * Block + 123;
    QTest::newRow("three devices") << 3 << 2 * Block;
}

void TestTools::flashesDevices()
{
    QFETCH(int, devices);
    QFETCH(int, size);
    const QByteArray firmware = patterned(size);
    QVERIFY(writeFile(m_firmwarePath, firmware));
    const QString logPath = m_dir.filePath(QStringLiteral("flash.csv"));
    QFile::remove(logPath);
    const QString count = QString::number(devices);

    Simulator simulator;
    QVERIFY(simulator.start({"--devices", count, "--uid", "0A1B2C3D4E5F6070", "--version", "2.3",
                             "--out", m_dir.filePath(QStringLiteral("image%n.bin"))}));
    const Finished flash = runFlash({"--port", simulator.path, "--devices", count, "--log", logPath,
                                     m_firmwarePath});
    const Finished device = simulator.finish();

    QCOMPARE(flash.exitCode, 0);
    QCOMPARE(device.exitCode, 0);
    QCOMPARE(linesStartingWith(flash.out, QStringLiteral("Download OK")).size(), devices);
    const QStringList summaries = linesStartingWith(flash.out, QStringLiteral("Summary: "));
    const QStringList log = QString::fromUtf8(readFile(logPath)).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(summaries.size(), devices);
    QCOMPARE(log.size(), devices + 1);
    QCOMPARE(log.first(), QStringLiteral("time,port,uid,version,file,sha256,bytes,blocks,naks,seconds,result"));
    const QString sha256 = QString::fromLatin1(QCryptographicHash::hash(firmware, QCryptographicHash::Sha256).toHex());
    const int blocks = int(padded(firmware).size() / Block);
    for (int i = 0; i < devices; ++i) {
        const QString uid = QStringLiteral("0A1B2C3D4E5F607%1").arg(i);
        QCOMPARE(readFile(m_dir.filePath(QStringLiteral("image%1.bin").arg(i + 1))), padded(firmware));
        QVERIFY(flash.out.contains(QStringLiteral("UID: 0A 1B 2C 3D 4E 5F 60 7%1 V2.3").arg(i)));
        QVERIFY2(summaries.at(i).startsWith(QStringLiteral("Summary: UID %1, V2.3, %2 bytes, %3 blocks, 0 NAKs, ")
                                                .arg(uid).arg(size).arg(blocks)),
                 qPrintable(summaries.at(i)));
        const QStringList fields = log.at(i + 1).split(u',');
        QCOMPARE(fields.size(), 11);
        QCOMPARE(fields.mid(2, 4), (QStringList{uid, "2.3", "firmware.kvf", sha256}));
        QCOMPARE(fields.mid(6, 3), (QStringList{QString::number(size), QString::number(blocks), "0"}));
        QCOMPARE(fields.last(), QStringLiteral("Download OK"));
    }
}

void TestTools::deviceFaults_data()
{
    QTest::addColumn<QStringList>("deviceOptions");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("text");     // in the host's output
    QTest::addColumn<int>("imageBlocks"); // blocks the device kept

    QTest::newRow("nak every 2nd block") << QStringList{"--nak-every", "2"} << 0 << "5 blocks, 2 NAKs" << 5;
    QTest::newRow("noise before announcement") << QStringList{"--noise", "--seed", "3"} << 0 << "Download OK" << 5;
    QTest::newRow("cancel at block 3") << QStringList{"--cancel-at", "3"} << 1 << "DOWNLOAD CANCELED" << 2;
    QTest::newRow("unplug at block 2") << QStringList{"--unplug-at", "2"} << 3 << "lost" << 1;
}

void TestTools::deviceFaults()
{
    QFETCH(QStringList, deviceOptions);
    QFETCH(int, exitCode);
    QFETCH(QString, text);
    QFETCH(int, imageBlocks);
    const QByteArray firmware = patterned(5 * Block - 10);
    QVERIFY(writeFile(m_firmwarePath, firmware));

    Simulator simulator;
    QVERIFY(simulator.start(deviceOptions + QStringList{"--out", m_dir.filePath(QStringLiteral("image.bin"))}));
    const Finished flash = runFlash({"--port", simulator.path, m_firmwarePath});
    simulator.finish();

    QCOMPARE(flash.exitCode, exitCode);
    QVERIFY2((flash.out + flash.err).contains(text), qPrintable(flash.out + flash.err));
    QCOMPARE(readFile(m_dir.filePath(QStringLiteral("image.bin"))), padded(firmware).left(imageBlocks * Block));
}

void TestTools::silenceTimesOut_data()
{
    QTest::addColumn<QByteArray>("deviceSends");
    QTest::addColumn<int>("bytesExpected"); // from the host, before it gives up
    QTest::addColumn<QString>("where");

    const QByteArray announcement = QByteArray(1, 0x03) + QByteArray::fromHex("0A1B2C3D4E5F60700000030200000000");
    QTest::newRow("no device") << QByteArray() << 0 << "while waiting for device 1";
    // The poll byte starts the transfer, the ACK draws block 1; then nothing.
    QTest::newRow("device silent after block 1") << announcement + "C" + QByteArray(1, 0x06)
                                                 << 8 + 1 + Block + 2
                                                 << "during the transfer to UID 0A1B2C3D4E5F6070, after block 1 of 2";
}

void TestTools::silenceTimesOut()
{
    QFETCH(QByteArray, deviceSends);
    QFETCH(int, bytesExpected);
    QFETCH(QString, where);
    QVERIFY(writeFile(m_firmwarePath, patterned(2 * Block)));
    TestLine line;
    QProcess flash;
    QElapsedTimer clock;
    clock.start();
    flash.start(QStringLiteral(KAVRI_FLASH), {"--port", line.path, "--timeout", "1", m_firmwarePath});
    QVERIFY(flash.waitForReadyRead(RunTimeoutMs)); // "Opened ...": the port is set up
    // The device speaks well into the second, so silence counts from its last byte.
    QTest::qWait(SpeakAfterMs);
    QVERIFY(line.send(deviceSends));
    const qint64 spokeAt = clock.elapsed();
    const Finished result = waitFor(flash);

    QCOMPARE(result.exitCode, 4);
    QVERIFY2(result.err.contains(QStringLiteral("Timed out: the line was silent for 1 s ") + where),
             qPrintable(result.err));
    QVERIFY(clock.elapsed() >= (deviceSends.isEmpty() ? 1000 : spokeAt + 1000));
    // Nothing is resent unasked: a frame without a number could be written twice.
    QCOMPARE(line.received().size(), bytesExpected);
}

void TestTools::stopSignalSaysWhere()
{
    QVERIFY(writeFile(m_firmwarePath, patterned(Block)));
    TestLine line;
    QProcess flash;
    flash.start(QStringLiteral(KAVRI_FLASH), {"--port", line.path, m_firmwarePath});
    QVERIFY(flash.waitForReadyRead(RunTimeoutMs)); // "Opened ...": the handler is in place
    flash.terminate();
    const Finished result = waitFor(flash);

    QCOMPARE(result.exitCode, 130);
    QVERIFY2(result.err.contains(QStringLiteral("Stopped by SIGTERM while waiting for device 1")),
             qPrintable(result.err));
}

void TestTools::badInputNeverTouchesLine_data()
{
    QTest::addColumn<QString>("fileKind");
    QTest::addColumn<bool>("portExists");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("missing file") << "missing" << true << 2;
    QTest::newRow("empty file") << "empty" << true << 2;
    QTest::newRow("directory") << "directory" << true << 2;
    QTest::newRow("4 GiB file") << "4 GiB" << true << 2;
    QTest::newRow("missing port") << "good" << false << 3;
}

void TestTools::badInputNeverTouchesLine()
{
    QFETCH(QString, fileKind);
    QFETCH(bool, portExists);
    QFETCH(int, exitCode);
    QFile file(m_firmwarePath);
    if (fileKind == "directory") {
        QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("firmware.kvf")));
    } else if (fileKind != "missing") {
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(patterned(fileKind == "good" ? Block : 0)) >= 0);
        if (fileKind == "4 GiB")
            QVERIFY(file.resize(qint64(1) << 32)); // sparse: no disk space used
        file.close();
    }
    TestLine line;
    const QString port = portExists ? line.path : m_dir.filePath(QStringLiteral("no-such-tty"));
    const Finished flash = runFlash({"--port", port, m_firmwarePath});

    QCOMPARE(flash.exitCode, exitCode);
    QCOMPARE(flash.err.count(u'\n'), 1);
    QVERIFY(!line.wasOpened());
}

void TestTools::listsPorts()
{
    const Finished list = runFlash({"--list"});
    QCOMPARE(list.exitCode, 0);
    QVERIFY(!list.out.isEmpty());
}

QTEST_GUILESS_MAIN(TestTools)
#include "tst_tools.moc"
