// kavri-flash and a device on a line that damages one thing: a stray byte,
// a lost STX, a flipped bit, an announcement cut off or repeated, a board
// swapped mid-transfer. Whatever the damage, neither end may say OK unless
// the device holds exactly the image; where the protocol can recover (a NAK
// and the frame again), the image still arrives whole.

#include "testdata.h"
#include "toolprocess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int runTimeoutMs = 15000;
const QString boardUid = QStringLiteral("0A06182D4E5F6071"); // an ACK and a CAN in the record
const QString swappedUid = QStringLiteral("0A06182D4E5F60F1"); // the board damaged-line swaps in

struct FlashRun
{
    QStringList results;    // kavri-flash's result words, in order
    QStringList identified; // the UIDs it saw
};

FlashRun readJson(const QString &lines)
{
    FlashRun run;
    for (const QString &line : lines.split(u'\n', Qt::SkipEmptyParts)) {
        const QJsonObject event = QJsonDocument::fromJson(line.toUtf8()).object();
        const QString kind = event.value(QStringLiteral("event")).toString();
        if (kind == QStringLiteral("result"))
            run.results.append(event.value(QStringLiteral("result")).toString());
        else if (kind == QStringLiteral("identified"))
            run.identified.append(event.value(QStringLiteral("uid")).toString());
    }
    return run;
}

// The simulator's word for how device 1 ended.
QString deviceOutcome(const QString &simulatorOutput)
{
    static const QRegularExpression line(QStringLiteral("^Device 1 UID \\w+: ([a-z ]+),"),
                                         QRegularExpression::MultilineOption);
    return line.match(simulatorOutput).captured(1);
}

} // namespace

class TestNoisyLine : public QObject
{
    Q_OBJECT

private slots:
    void neverFalseSuccess_data();
    void neverFalseSuccess();
};

void TestNoisyLine::neverFalseSuccess_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("results");    // kavri-flash's, for each device it recorded (patterns)
    QTest::addColumn<int>("exitCode");           // kavri-flash's
    QTest::addColumn<QString>("outcome");        // the device's (a pattern)
    QTest::addColumn<QStringList>("identified");

    const QStringList ok{QStringLiteral("ok")};
    const QStringList once{boardUid};
    // Damage on the way to the device: it asks for the frame again.
    QTest::newRow("stray 0x03 before frame 1") << "stray-to-device:03:1" << ok << 0 << "completed" << once;
    QTest::newRow("stray 0x04 before frame 3") << "stray-to-device:04:3" << ok << 0 << "completed" << once;
    QTest::newRow("stray STX before frame 2") << "stray-to-device:02:2" << ok << 0 << "completed" << once;
    QTest::newRow("frame 2 without its STX, 0x04 first") << "drop-stx:2" << ok << 0 << "completed" << once;
    QTest::newRow("a bit flipped in frame 4") << "flip-to-device:3:700:4" << ok << 0 << "completed" << once;
    // Damage on the way to the host: a reply too many, or a reply lost. The
    // device sees the frame the host sent too many right behind the last
    // one and cancels, or, where a pause on the line splits them, refuses
    // it until the host gives up.
    const QStringList failed{QStringLiteral("canceled|nak-limit")};
    const QString gaveUp = QStringLiteral("out of step|abandoned");
    QTest::newRow("stray ACK before reply 3") << "stray-to-host:06:3" << failed << 1 << gaveUp << once;
    QTest::newRow("stray NAK before reply 3") << "stray-to-host:15:3" << failed << 1 << gaveUp << once;
    QTest::newRow("stray ACK before the last reply")
        << "stray-to-host:06:5" << QStringList{"out-of-step"} << 1 << "out of step" << once;
    // The first ACK damaged into noise: both ends wait, and give up. (A reply
    // damaged after a frame ends the same way, or out of step, as the time it
    // arrives falls.)
    QTest::newRow("a reply's bit flipped") << "flip-to-host:1:1" << QStringList{"timed-out"} << 4 << "abandoned" << once;
    // Announcements: only whole ones after silence count.
    QTest::newRow("the port opened mid-announcement") << "cut:11" << ok << 0 << "completed" << once;
    QTest::newRow("announced again with the start armed") << "announce-again" << ok << 0 << "completed"
                                                          << QStringList{boardUid, boardUid};
    // The other board is served next, but never says more than its announcement.
    QTest::newRow("board swapped at frame 3") << "swap:3" << QStringList{"out-of-step", "timed-out"} << 4
                                              << "abandoned" << QStringList{boardUid, swappedUid};
}

void TestNoisyLine::neverFalseSuccess()
{
    QFETCH(QString, fault);
    QFETCH(QStringList, results);
    QFETCH(int, exitCode);
    QFETCH(QString, outcome);
    QFETCH(QStringList, identified);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Five blocks; block 2 starts with an 0x04, as an EOT would.
    QByteArray image = patterned(4 * Wire::blockSize + 300);
    image[Wire::blockSize] = Wire::EOT;
    const QString imagePath = dir.filePath(QStringLiteral("image.kvf"));
    const QString storedPath = dir.filePath(QStringLiteral("stored.bin"));
    QVERIFY(writeFile(imagePath, image));

    LineProcess device(QStringLiteral(KAVRI_DEVSIM), {QStringLiteral("--pty")});
    QVERIFY(device.start({"--baud", "115200", "--uid", boardUid, "--device-version", "2.3", "--idle-timeout", "1.5",
                          "--out", storedPath}));
    LineProcess line(QStringLiteral(DAMAGED_LINE));
    QVERIFY(line.start({device.path, fault}));
    QProcess flash;
    flash.start(QStringLiteral(KAVRI_FLASH), {"--port", line.path, "--devices", QString::number(results.size()),
                                              "--timeout", "2.5", "--json", imagePath});
    const Finished host = waitFor(flash, runTimeoutMs);
    const Finished damage = line.finish();
    const Finished simulated = device.finish();

    QCOMPARE(damage.err, QStringLiteral("damaged-line: %1 applied\n").arg(fault.section(u':', 0, 0)));
    const auto matches = [](const QString &pattern, const QString &text) {
        return QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(text).hasMatch();
    };
    const FlashRun run = readJson(host.out);
    QVERIFY2(run.results.size() == results.size(), qPrintable(host.out + host.err));
    for (qsizetype i = 0; i < results.size(); ++i)
        QVERIFY2(matches(results[i], run.results[i]), qPrintable(host.out + host.err));
    QVERIFY2(matches(outcome, deviceOutcome(simulated.out)), qPrintable(simulated.out));
    QCOMPARE(run.identified, identified);
    QCOMPARE(host.exitCode, exitCode);
    // What the device kept is the image whenever it says it is done.
    if (outcome == QStringLiteral("completed"))
        QCOMPARE(readFile(storedPath), padded(image));
}

QTEST_GUILESS_MAIN(TestNoisyLine)
#include "tst_noisyline.moc"
