// The reference firmware (firmware/) on each of qemu's emulated boards,
// flashed over the board's UART on a pseudo-terminal: by kavri-flash, and by
// the test playing a host on a noisy line. The device writes its whole block
// storage to a host file through semihosting: the blocks it kept must be the
// image, zero-padded to whole blocks, block for block, and the rest of the
// storage untouched (zero, as qemu starts it).

#include "imageenvelope.h"
#include "testdata.h"
#include "toolprocess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int runTimeoutMs = 10000;
constexpr int boardStorageBlocks = KAVRI_STORAGE_BLOCKS, smallBoardStorageBlocks = KAVRI_SMALL_BLOCKS;

// Starts the firmware of board (as qemu's -M names it) with room for
// storageBlocks and with deviceSettings (words on qemu's -append), and
// returns the pseudo-terminal of its UART, or an empty path. It returns once
// the device has started announcing with nobody on the line: that
// announcement is lost, and a host can only hear a later one.
QString startBoard(QProcess &board, const QString &boardName, int storageBlocks, const QString &deviceSettings)
{
    const QString firmware =
        QStringLiteral(KAVRI_FIRMWARE_DIR "/kavri-firmware-%1-%2blocks.elf").arg(boardName).arg(storageBlocks);
    board.start(QStringLiteral(KAVRI_QEMU),
                {"-M", boardName, "-nographic", "-monitor", "none", "-serial", "pty",
                 "-semihosting-config", "enable=on,target=native", "-kernel", firmware,
                 "-append", deviceSettings});
    // qemu names the pseudo-terminal on stdout; the device speaks on stderr.
    const QRegularExpression redirected(QStringLiteral("redirected to (/dev/pts/\\d+)"));
    QRegularExpressionMatch pty;
    const bool started = waitForOutput(board, QProcess::StandardOutput, runTimeoutMs, [&](const QByteArray &output) {
        return (pty = redirected.match(QString::fromUtf8(output))).hasMatch();
    }) && waitForOutput(board, QProcess::StandardError, runTimeoutMs, [](const QByteArray &output) {
        return output.contains("announcing");
    });
    QTest::qWait(100);
    return started ? pty.captured(1) : QString();
}

// The next byte the device sends, or -1 when none comes within timeoutMs.
int nextByte(QSerialPort &port, int timeoutMs = 5000)
{
    char byte;
    if (port.bytesAvailable() == 0 && !port.waitForReadyRead(timeoutMs))
        return -1;
    return port.getChar(&byte) ? quint8(byte) : -1;
}

// Plays the host up to the device's first ACK: a greeting for each
// announcement (qemu passes the host's bytes to the board only once it has
// noticed that the line is open, up to a second later, and meanwhile the
// device announces again), then silence to the first poll, which starts the
// transfer. False if the device strays.
bool startTransfer(QSerialPort &port)
{
    const QByteArray announcement = Wire::announcement(KAVRI_FIRMWARE_UID);
    QByteArray heard;
    for (int byte; (byte = nextByte(port)) >= 0;) {
        heard += char(byte);
        if (heard == "C")
            return nextByte(port) == Wire::ACK;
        if (heard.endsWith(announcement)) {
            port.write(QByteArray(Wire::greetingLength, Wire::ETX));
            port.waitForBytesWritten(1000);
            heard.clear();
        }
    }
    return false;
}

// The storage as the device wrote it out: the first storedBlocks of image
// (zero-padded), then untouched storage.
QByteArray storageHolding(const QByteArray &image, int storedBlocks, int storageBlocks)
{
    const QByteArray kept = padded(image).left(storedBlocks * Wire::blockSize);
    return kept + QByteArray(storageBlocks * Wire::blockSize - kept.size(), '\0');
}

// The boards to run: the one KAVRI_BOARD names (ctest runs a test for each),
// or every board built.
QStringList boardsUnderTest()
{
    const QString board = qEnvironmentVariable("KAVRI_BOARD");
    return board.isEmpty() ? QStringLiteral(KAVRI_BOARDS).split(u' ') : QStringList{board};
}

// kavri-flash --json's result record for its one device.
QJsonObject resultRecord(const QString &jsonLines)
{
    for (const QString &line : jsonLines.split(u'\n', Qt::SkipEmptyParts)) {
        const QJsonObject event = QJsonDocument::fromJson(line.toUtf8()).object();
        if (event.value(QStringLiteral("event")).toString() == QStringLiteral("result"))
            return event;
    }
    return {};
}

} // namespace

class TestFirmware : public QObject
{
    Q_OBJECT

private slots:
    void flashesEmulatedDevice_data();
    void flashesEmulatedDevice();
    void keepsStepOnNoisyLine_data();
    void keepsStepOnNoisyLine();
};

void TestFirmware::flashesEmulatedDevice_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<int>("storageBlocks");
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("deviceSettings"); // words on qemu's -append
    QTest::addColumn<int>("flashExitCode");
    QTest::addColumn<QString>("result");
    QTest::addColumn<int>("naks");
    QTest::addColumn<int>("storedBlocks");
    QTest::addColumn<int>("deviceExitCode");
    QTest::addColumn<QString>("deviceSays");

    // Six blocks, the last one partial; in its envelope, the header's block
    // and five of the application's.
    const QByteArray plain = patterned(5 * Wire::blockSize + 300);
    const QByteArray tooBig = ImageEnvelope::wrap(patterned(4 * Wire::blockSize + 300), 1, 4);
    for (const QString &board : boardsUnderTest()) {
        const auto row = [&](const char *name) -> QTestData & { return QTest::addRow("%s, %s", qPrintable(board), name) << board; };
        // The board's stand-in application, which says so when it is started.
        const QByteArray application = readFile(QStringLiteral(KAVRI_FIRMWARE_DIR "/kavri-app-%1.bin").arg(board));
        const QByteArray enveloped = ImageEnvelope::wrap(application, 1, 4);
        QByteArray mismatched = enveloped;
        mismatched.back() = char(mismatched.back() ^ 0x01); // a bit of the application's last byte
        row("whole image") << boardStorageBlocks << plain << QString() << 0 << "ok" << 0 << 6 << 0 << "complete";
        row("block 2 refused once") << boardStorageBlocks << plain << QStringLiteral("nak=2") << 0 << "ok" << 1 << 6 << 0
                                    << "complete";
        row("image too big") << smallBoardStorageBlocks << plain << QString() << 1 << "canceled" << 0 << smallBoardStorageBlocks
                             << 1 << "canceled";
        // Only this one starts its application, which ends qemu with 0.
        row("image in its envelope") << boardStorageBlocks << enveloped << QString() << 0 << "ok" << 0 << 2 << 0
                                     << QStringLiteral("image ok (image V1.4, %1 bytes)").arg(application.size());
        // The host has no whole-image check: only the device can tell.
        row("envelope not matching") << boardStorageBlocks << mismatched << QString() << 0 << "ok" << 0 << 2 << 5
                                     << "image bad";
        row("envelope too big: refused at block 1") << smallBoardStorageBlocks << tooBig << QString() << 1 << "canceled"
                                                    << 0 << 0 << 1 << "canceled (image V1.4, 4396 bytes)";
    }
}

void TestFirmware::flashesEmulatedDevice()
{
    QFETCH(QString, board);
    QFETCH(int, storageBlocks);
    QFETCH(QByteArray, image);
    QFETCH(QString, deviceSettings);
    QFETCH(int, flashExitCode);
    QFETCH(QString, result);
    QFETCH(int, naks);
    QFETCH(int, storedBlocks);
    QFETCH(int, deviceExitCode);
    QFETCH(QString, deviceSays);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString imagePath = dir.filePath(QStringLiteral("image.kvf"));
    const QString storedPath = dir.filePath(QStringLiteral("stored.bin"));
    QVERIFY(writeFile(imagePath, image));

    QProcess boardProcess;
    const QString pty =
        startBoard(boardProcess, board, storageBlocks, QStringLiteral("out=%1 %2").arg(storedPath, deviceSettings));
    QVERIFY(!pty.isEmpty());

    QProcess flashProcess;
    flashProcess.start(QStringLiteral(KAVRI_FLASH), {"--port", pty, "--json", "--timeout", "5", imagePath});
    const Finished flash = waitFor(flashProcess, runTimeoutMs);
    const Finished device = waitFor(boardProcess, runTimeoutMs);
    QVERIFY2(flash.exitCode == flashExitCode, qPrintable(flash.err + flash.out + device.err));
    QVERIFY2(device.exitCode == deviceExitCode, qPrintable(device.err));
    QVERIFY2(device.err.contains(QStringLiteral("kavri device: ") + deviceSays), qPrintable(device.err));
    QCOMPARE(device.err.contains(QStringLiteral("kavri application: started")), deviceSays.startsWith("image ok"));

    const QJsonObject record = resultRecord(flash.out);
    QCOMPARE(record.value(QStringLiteral("result")).toString(), result);
    QCOMPARE(record.value(QStringLiteral("naks")).toInt(), naks);
    QCOMPARE(record.value(QStringLiteral("acked_blocks")).toInt(), storedBlocks);
    QCOMPARE(record.value(QStringLiteral("uid")).toString(), QStringLiteral(KAVRI_FIRMWARE_UID));
    QCOMPARE(record.value(QStringLiteral("version")).toString(), QStringLiteral(KAVRI_FIRMWARE_VERSION));
    QCOMPARE(readFile(storedPath), storageHolding(image, storedBlocks, storageBlocks));

    const QRegularExpressionMatch announced =
        QRegularExpression(QStringLiteral("announcements: (\\d+)")).match(device.err);
    QVERIFY2(announced.captured(1).toInt() >= 2, qPrintable(device.err));
}

void TestFirmware::keepsStepOnNoisyLine_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<QByteArrayList>("sent");   // by the host, each after the device's last reply
    QTest::addColumn<QByteArray>("replies");    // the device's, one to each sending but the last
    QTest::addColumn<int>("exitCode");          // the emulated device's
    QTest::addColumn<int>("storedBlocks");

    const QByteArray image = patterned(2 * Wire::blockSize);
    const QByteArray first = Wire::frame(image, 0), second = Wire::frame(image, 1);
    const QByteArray eot(1, Wire::EOT), noise("\x55");
    for (const QString &board : boardsUnderTest()) {
        const auto row = [&](const char *name) -> QTestData & { return QTest::addRow("%s, %s", qPrintable(board), name) << board; };
        row("noise NAKed, the whole image stored")
            << QByteArrayList{Wire::ETX + first, first, Wire::EOT + second, noise + second, second + noise,
                              second, Wire::EOT + noise, eot}
            << QByteArray("\x15\x06\x15\x15\x15\x06\x15") << 0 << 2; // NAK, ACK, NAK, NAK, NAK, ACK, NAK
        // The host took a stray byte for a reply and sent what that reply asks for.
        row("frame behind a frame") << QByteArrayList{first + second} << QByteArray(1, Wire::CAN) << 4 << 0;
        row("EOT behind a frame") << QByteArrayList{first + eot} << QByteArray(1, Wire::CAN) << 4 << 0;
    }
}

void TestFirmware::keepsStepOnNoisyLine()
{
    QFETCH(QString, board);
    QFETCH(QByteArrayList, sent);
    QFETCH(QByteArray, replies);
    QFETCH(int, exitCode);
    QFETCH(int, storedBlocks);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString storedPath = dir.filePath(QStringLiteral("stored.bin"));
    QProcess boardProcess;
    QSerialPort port(startBoard(boardProcess, board, boardStorageBlocks, QStringLiteral("out=") + storedPath));
    QVERIFY(port.open(QIODevice::ReadWrite));
    QVERIFY(startTransfer(port));

    for (qsizetype i = 0; i < sent.size(); ++i) {
        port.write(sent[i]);
        QVERIFY(port.waitForBytesWritten(1000));
        if (i < replies.size())
            QVERIFY2(nextByte(port) == quint8(replies[i]), qPrintable(QStringLiteral("reply %1").arg(i + 1)));
    }
    const Finished device = waitFor(boardProcess, runTimeoutMs);
    QVERIFY2(device.exitCode == exitCode, qPrintable(device.err));
    QCOMPARE(readFile(storedPath), storageHolding(patterned(2 * Wire::blockSize), storedBlocks, boardStorageBlocks));
}

QTEST_GUILESS_MAIN(TestFirmware)
#include "tst_firmware.moc"
