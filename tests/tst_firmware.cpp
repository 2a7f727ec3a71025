// The reference firmware (firmware/) on qemu's emulated lm3s6965evb board,
// flashed by kavri-flash over the board's UART on a pseudo-terminal. The
// device writes the blocks it kept to a host file through semihosting; they
// must be the image, zero-padded to whole blocks, block for block.

#include "testdata.h"
#include "toolprocess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int RunTimeoutMs = 10000;

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
};

void TestFirmware::flashesEmulatedDevice_data()
{
    QTest::addColumn<QString>("firmware");
    QTest::addColumn<QString>("deviceSettings"); // words on qemu's -append
    QTest::addColumn<int>("exitCode");           // kavri-flash's, and the emulated device's
    QTest::addColumn<QString>("result");
    QTest::addColumn<int>("naks");
    QTest::addColumn<int>("storedBlocks");

    const QString firmware = QStringLiteral(KAVRI_FIRMWARE);
    // Six blocks, the last one partial.
    QTest::newRow("whole image") << firmware << QString() << 0 << "ok" << 0 << 6;
    QTest::newRow("block 2 refused once") << firmware << QStringLiteral("nak=2") << 0 << "ok" << 1 << 6;
    QTest::newRow("image too big") << QStringLiteral(KAVRI_SMALL_FIRMWARE) << QString() << 1 << "canceled" << 0
                                   << KAVRI_SMALL_FIRMWARE_BLOCKS;
}

void TestFirmware::flashesEmulatedDevice()
{
    QFETCH(QString, firmware);
    QFETCH(QString, deviceSettings);
    QFETCH(int, exitCode);
    QFETCH(QString, result);
    QFETCH(int, naks);
    QFETCH(int, storedBlocks);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray image = patterned(5 * Wire::Block + 300);
    const QString imagePath = dir.filePath(QStringLiteral("image.kvf"));
    const QString storedPath = dir.filePath(QStringLiteral("stored.bin"));
    QVERIFY(writeFile(imagePath, image));

    QProcess board;
    board.start(QStringLiteral(KAVRI_QEMU),
                {"-M", "lm3s6965evb", "-nographic", "-monitor", "none", "-serial", "pty",
                 "-semihosting-config", "enable=on,target=native", "-kernel", firmware,
                 "-append", QStringLiteral("out=%1 %2").arg(storedPath, deviceSettings)});
    // qemu names the pseudo-terminal on stdout; the device speaks on stderr.
    const QRegularExpression redirected(QStringLiteral("redirected to (/dev/pts/\\d+)"));
    QRegularExpressionMatch pty;
    QVERIFY(waitForOutput(board, QProcess::StandardOutput, RunTimeoutMs, [&](const QByteArray &output) {
        return (pty = redirected.match(QString::fromUtf8(output))).hasMatch();
    }));
    // The device says when it starts announcing, with nobody on the line:
    // that announcement is lost, and kavri-flash can only hear a later one.
    QVERIFY(waitForOutput(board, QProcess::StandardError, RunTimeoutMs,
                          [](const QByteArray &output) { return output.contains("announcing"); }));
    QTest::qWait(100);

    QProcess flashProcess;
    flashProcess.start(QStringLiteral(KAVRI_FLASH), {"--port", pty.captured(1), "--json", "--timeout", "5", imagePath});
    const Finished flash = waitFor(flashProcess, RunTimeoutMs);
    const Finished device = waitFor(board, RunTimeoutMs);
    QVERIFY2(flash.exitCode == exitCode, qPrintable(flash.err + flash.out + device.err));
    QCOMPARE(device.exitCode, exitCode);

    const QJsonObject record = resultRecord(flash.out);
    QCOMPARE(record.value(QStringLiteral("result")).toString(), result);
    QCOMPARE(record.value(QStringLiteral("naks")).toInt(), naks);
    QCOMPARE(record.value(QStringLiteral("acked_blocks")).toInt(), storedBlocks);
    QCOMPARE(record.value(QStringLiteral("uid")).toString(), QStringLiteral(KAVRI_FIRMWARE_UID));
    QCOMPARE(record.value(QStringLiteral("version")).toString(), QStringLiteral(KAVRI_FIRMWARE_VERSION));
    QCOMPARE(readFile(storedPath), padded(image).left(storedBlocks * Wire::Block));

    const QRegularExpressionMatch announced =
        QRegularExpression(QStringLiteral("announcements: (\\d+)")).match(device.err);
    QVERIFY2(announced.captured(1).toInt() >= 2, qPrintable(device.err));
}

QTEST_GUILESS_MAIN(TestFirmware)
#include "tst_firmware.moc"
