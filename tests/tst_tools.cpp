// The programs as a user runs them: separate processes on a
// pseudo-terminal, judged by exit status, output and the bytes that arrived.

#include "commandline.h"
#include "exitstatus.h"
#include "imageenvelope.h"
#include "portinfo.h"
#include "ptyline.h"
#include "testdata.h"
#include "toolprocess.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

#include <csignal>
#include <unistd.h>

namespace {

using namespace Wire;

constexpr int runTimeoutMs = 15000;
constexpr int timeoutMs = 200;     // --timeout and --idle-timeout where a test waits for one
constexpr int speakAfterMs = 100;  // well inside timeoutMs

constexpr char pollByte = 'C';

Finished waitFor(QProcess &process)
{
    return waitFor(process, runTimeoutMs);
}

// Waits until the process has written text count times on channel, leaving the output unread.
bool waitForText(QProcess &process, const QByteArray &text, int count = 1,
                 QProcess::ProcessChannel channel = QProcess::StandardOutput)
{
    return waitForOutput(process, channel, runTimeoutMs,
                         [&](const QByteArray &output) { return output.count(text) >= count; });
}

// Waits until the run says its port is open, leaving the output unread.
bool waitForOpened(QProcess &flash)
{
    return waitForText(flash, "Opened ");
}

Finished runCommand(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return waitFor(process);
}

Finished runFlash(const QStringList &arguments)
{
    return runCommand(QStringLiteral(KAVRI_FLASH), arguments);
}

// kavri-devsim on a pseudo-terminal of its own; the first line it prints is
// the path the host opens.
struct Simulator : LineProcess
{
    Simulator() : LineProcess(QStringLiteral(KAVRI_DEVSIM), {QStringLiteral("--pty")}) {}
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

// kavri-devsim's verdict per device, by number: "completed", "cancelled", ...
QMap<int, QString> deviceOutcomes(const QString &simulatorOutput)
{
    static const QRegularExpression line(QStringLiteral("^Device (\\d+) UID [0-9A-F]{16}: (\\w+),"),
                                         QRegularExpression::MultilineOption);
    QMap<int, QString> outcomes;
    for (const QRegularExpressionMatch &match : line.globalMatch(simulatorOutput))
        outcomes.insert(match.captured(1).toInt(), match.captured(2));
    return outcomes;
}

// The sum of the first capture of every match of pattern, ^ and $ at line ends.
int sumOfNumbers(const QString &text, const QString &pattern)
{
    int sum = 0;
    const QRegularExpression expression(pattern, QRegularExpression::MultilineOption);
    for (const QRegularExpressionMatch &match : expression.globalMatch(text))
        sum += match.captured(1).toInt();
    return sum;
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
    void endsInEachState_data();
    void endsInEachState();
    void oneImagePerRun_data();
    void oneImagePerRun();
    void firmwareTruncatedMidTransfer();
    void reopensLostPort_data();
    void reopensLostPort();
    void soakWithFaults();
    void simulatorExitStatus_data();
    void simulatorExitStatus();
    void manyPortsAtOnce();
    void badInputNeverTouchesLine_data();
    void badInputNeverTouchesLine();
    void busyPortIsReported_data();
    void busyPortIsReported();
    void stdoutClosedIsSurvived();
    void hangUpReopensLog();
    void noPortsListed_data();
    void noPortsListed();
    void listsPorts_data();
    void listsPorts();
    void commandLineAnswers_data();
    void commandLineAnswers();

private:
    QTemporaryDir dir;
    QString firmwareFilePath;
};

void TestTools::init()
{
    QVERIFY(dir.isValid());
    // Each test starts without a firmware file, so none inherits one.
    firmwareFilePath = dir.filePath(QStringLiteral("firmware.kvf"));
    QFile::remove(firmwareFilePath);
    QDir(dir.path()).rmdir(QStringLiteral("firmware.kvf"));
}

void TestTools::flashesDevices_data()
{
    QTest::addColumn<int>("devices");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("loggedName"); // as a CSV field
    QTest::newRow("one device") << 1 << 5 * blockSize + 123 << "firmware.kvf" << "firmware.kvf";
    QTest::newRow("three devices, a name to quote") << 3 << 2 * blockSize << "fw \"rc1\", a.kvf"
                                                    << "\"fw \"\"rc1\"\", a.kvf\"";
}

void TestTools::flashesDevices()
{
    QFETCH(int, devices);
    QFETCH(int, size);
    QFETCH(QString, fileName);
    QFETCH(QString, loggedName);
    firmwareFilePath = dir.filePath(fileName);
    const QByteArray firmware = patterned(size);
    QVERIFY(writeFile(firmwareFilePath, firmware));
    const QString logPath = dir.filePath(QStringLiteral("flash.csv"));
    QFile::remove(logPath);
    const QString count = QString::number(devices);

    Simulator simulator;
    QVERIFY(simulator.start({"--devices", count, "--uid", "0A1B2C3D4E5F6070", "--device-version", "2.3",
                             "--out", dir.filePath(QStringLiteral("image%n.bin"))}));
    const Finished flash = runFlash({"--port", simulator.path, "--devices", count, "--log", logPath,
                                     firmwareFilePath});
    const Finished device = simulator.finish();

    QCOMPARE(flash.exitCode, 0);
    QCOMPARE(device.exitCode, 0);
    const QString done = QStringLiteral("Progress: 100% (%1 of %1 bytes)").arg(size);
    QCOMPARE(linesStartingWith(flash.out, done).size(), devices);
    const QStringList records = linesStartingWith(flash.out, QStringLiteral("Download OK: "));
    const QStringList log = QString::fromUtf8(readFile(logPath)).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(records.size(), devices);
    QCOMPARE(log.size(), devices + 1);
    QCOMPARE(log.first(), QStringLiteral("time,port,serial,usb,uid,version,file,image_bytes,image_sha256,"
                                         "acked_bytes,acked_blocks,naks,seconds,result"));
    const QString sha256 = QString::fromLatin1(QCryptographicHash::hash(firmware, QCryptographicHash::Sha256).toHex());
    const int blocks = int(padded(firmware).size() / blockSize);
    for (int i = 0; i < devices; ++i) {
        const QString uid = QStringLiteral("0A1B2C3D4E5F607%1").arg(i);
        QCOMPARE(readFile(dir.filePath(QStringLiteral("image%1.bin").arg(i + 1))), padded(firmware));
        QVERIFY(flash.out.contains(QStringLiteral("UID: 0A 1B 2C 3D 4E 5F 60 7%1 V2.3").arg(i)));
        QVERIFY2(records.at(i).startsWith(QStringLiteral("Download OK: UID %1, %2 bytes, 0 NAKs, ").arg(uid).arg(size)),
                 qPrintable(records.at(i)));
        const QString fields = QStringList{simulator.path, "", "", uid, "2.3", loggedName, QString::number(size), sha256,
                                           QString::number(size), QString::number(blocks), "0"}.join(u',');
        QVERIFY2(log.at(i + 1).contains(u',' + fields + u','), qPrintable(log.at(i + 1)));
        QVERIFY(log.at(i + 1).endsWith(QStringLiteral(",ok")));
    }
}

void TestTools::deviceFaults_data()
{
    QTest::addColumn<QStringList>("deviceOptions");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("text");     // a pattern in the host's output
    QTest::addColumn<int>("imageBlocks"); // blocks the device kept

    QTest::newRow("nak every 2nd block") << QStringList{"--nak-every", "2"} << 0 << "^Download OK: UID \\w+, 5110 bytes, 2 NAKs, " << 5;
    QTest::newRow("noise before announcement") << QStringList{"--noise", "--seed", "3"} << 0 << "Download OK" << 5;
    // The frame answered with CAN is not counted as delivered.
    QTest::newRow("cancel at block 3") << QStringList{"--cancel-at", "3"} << 1
                                       << "^DOWNLOAD CANCELED: UID \\w+, 2048 of 5110 bytes, 0 NAKs, "
                                       << 2;
    // Ten NAKs in a row for one frame end the download: nine resends, then no more.
    QTest::newRow("nak for ever") << QStringList{"--nak-rate", "0.999", "--idle-timeout", "0.2"} << 1
                                  << "^Gave up after 10 NAKs in a row: UID \\w+, 1024 of 5110 bytes, 12 NAKs, " << 1;
    QTest::newRow("unplug at block 2") << QStringList{"--unplug-at", "2"} << 3 << "lost" << 1;
}

void TestTools::deviceFaults()
{
    QFETCH(QStringList, deviceOptions);
    QFETCH(int, exitCode);
    QFETCH(QString, text);
    QFETCH(int, imageBlocks);
    const QByteArray firmware = patterned(5 * blockSize - 10);
    QVERIFY(writeFile(firmwareFilePath, firmware));

    Simulator simulator;
    QVERIFY(simulator.start(deviceOptions + QStringList{"--out", dir.filePath(QStringLiteral("image.bin"))}));
    const Finished flash = runFlash({"--port", simulator.path, firmwareFilePath});
    simulator.finish();

    QCOMPARE(flash.exitCode, exitCode);
    QVERIFY2((flash.out + flash.err).contains(QRegularExpression(text, QRegularExpression::MultilineOption)),
             qPrintable(flash.out + flash.err));

    QCOMPARE(readFile(dir.filePath(QStringLiteral("image.bin"))), padded(firmware).left(imageBlocks * blockSize));
}

enum class Ending { Silent, Unplugged, Stopped };

void TestTools::endsInEachState_data()
{
    QTest::addColumn<Ending>("ending");
    QTest::addColumn<QByteArray>("deviceSends");
    QTest::addColumn<int>("bytesExpected"); // from the host, before it stops
    QTest::addColumn<QString>("where");
    QTest::addColumn<int>("blocksLogged");  // -1: no device to log

    const QByteArray identity = announcement();
    const QString uid = QStringLiteral("UID 0A1B2C3D4E5F6070");
    for (const Ending ending : {Ending::Silent, Ending::Unplugged, Ending::Stopped}) {
        const char *name = ending == Ending::Silent ? "silent" : ending == Ending::Unplugged ? "unplugged" : "stopped";
        QTest::addRow("no device, %s", name) << ending << QByteArray() << 0 << "while waiting for device 1" << -1;
        // Half an identity is no device yet: nothing is answered.
        QTest::addRow("part of an identity, %s", name) << ending << identity.left(9) << 0
                                                       << "while waiting for device 1" << -1;
        QTest::addRow("announced, %s", name) << ending << identity << greetingLength
                                             << "after " + uid + " announced itself, before its transfer began" << 0;
        // The poll byte starts the transfer, the ACK draws block 1.
        // Block 1 is out but not acknowledged: it does not count as delivered.
        QTest::addRow("after block 1, %s", name) << ending << identity + pollByte + ACK << greetingLength + frameLength
                                                 << "during the transfer to " + uid + ", after block 1 of 2" << 0;
        // The first device is done: the run waits for the next one.
        QTest::addRow("after device 1, %s", name) << ending << identity + pollByte + ACK + ACK + ACK
                                                  << greetingLength + 2 * frameLength + 1 << "while waiting for device 2" << -1;
    }
}

// However a run ends, it says where, exits with the ending's status, and
// logs the device it leaves behind.
void TestTools::endsInEachState()
{
    QFETCH(Ending, ending);
    QFETCH(QByteArray, deviceSends);
    QFETCH(int, bytesExpected);
    QFETCH(QString, where);
    QFETCH(int, blocksLogged);
    QVERIFY(writeFile(firmwareFilePath, patterned(2 * blockSize)));
    const QString logPath = dir.filePath(QStringLiteral("ends.csv"));
    QFile::remove(logPath);
    PtyLine line;
    QProcess flash;
    QElapsedTimer clock;
    clock.start();
    const QString timeout = ending == Ending::Silent ? CommandLine::secondsText(timeoutMs) : QStringLiteral("0");
    flash.start(QStringLiteral(KAVRI_FLASH), {"--port", line.path, "--devices", "0", "--timeout", timeout,
                                              "--log", logPath, firmwareFilePath});
    QVERIFY(waitForOpened(flash)); // the port is set up
    QCOMPARE(line.settingsProblem(), QString());
    // The device speaks well into the time-out, so silence counts from its last byte.
    if (ending == Ending::Silent)
        QTest::qWait(speakAfterMs);
    QVERIFY(line.sendAfterSilence(deviceSends));
    const qint64 spokeAt = deviceSends.isEmpty() ? 0 : clock.elapsed();
    QCOMPARE(line.receive(bytesExpected).size(), bytesExpected);
    if (where.endsWith(QStringLiteral("device 2")))
        QTest::qWait(250); // device 1 is done once the line stayed quiet after its EOT
    if (ending == Ending::Unplugged)
        line.hangUp();
    if (ending == Ending::Stopped)
        flash.terminate();
    const Finished result = waitFor(flash);

    const QMap<Ending, QPair<QString, int>> endings{
        {Ending::Silent, {QStringLiteral("Timed out: silent for %1 s").arg(CommandLine::secondsText(timeoutMs)), 4}},
        {Ending::Unplugged, {QStringLiteral("Port %1 lost (unplugged?)").arg(line.path), 3}},
        {Ending::Stopped, {QStringLiteral("Stopped by SIGTERM"), 130}},
    };
    QCOMPARE(result.err, QStringLiteral("kavri-flash: %1 %2\n").arg(endings[ending].first, where));
    QCOMPARE(result.exitCode, endings[ending].second);
    const QStringList log = QString::fromUtf8(readFile(logPath)).split(u'\n', Qt::SkipEmptyParts);
    const QStringList records = result.out.split(u'\n').filter(QStringLiteral(": UID "));
    const int devicesDone = where.endsWith("device 2") ? 1 : 0;
    QCOMPARE(log.size() - 1, records.size());
    QCOMPARE(records.size(), devicesDone + (blocksLogged < 0 ? 0 : 1));
    if (blocksLogged >= 0) {
        const QString logged = QStringList{"Timed out", "Port lost", "Interrupted"}.at(int(ending));
        const QString bytes = QStringLiteral(", %1 of %2 bytes, 0 NAKs, ").arg(blocksLogged * blockSize).arg(2 * blockSize);
        QVERIFY2(records.last().startsWith(logged + u':') && records.last().contains(bytes), qPrintable(records.last()));
        const QStringList fields = log.last().split(u',');
        QCOMPARE(fields.mid(10, 2), (QStringList{QString::number(blocksLogged), "0"}));
        QCOMPARE(fields.last(), (QStringList{"timed-out", "port-lost", "interrupted"}.at(int(ending))));
    }
    if (ending == Ending::Silent) {
        QVERIFY(clock.elapsed() >= spokeAt + timeoutMs);
        // Nothing is resent unasked: a frame without a number could be written twice.
        QVERIFY(line.received().isEmpty());
    }
}

void TestTools::oneImagePerRun_data()
{
    QTest::addColumn<bool>("follow");
    QTest::addColumn<QString>("rebuild"); // how the second build reaches the name
    QTest::addColumn<bool>("taken");
    QTest::addColumn<QString>("problem"); // said once on stderr; %1: the firmware

    const QString kept = QStringLiteral("kavri-flash: %1 changed on disk; this run goes on sending the image it read "
                                        "at the start (SHA-256 ");
    QTest::newRow("rebuilt") << false << "in place" << false << kept;
    QTest::newRow("removed") << false << "removed" << false << kept;
    QTest::newRow("renamed over, --follow") << true << "renamed" << true << "";
    QTest::newRow("rewritten in place, --follow") << true << "in place" << false
                                                  << "kavri-flash: %1 was rewritten in place, and a file half written "
                                                     "looks the same; it is not taken";
    QTest::newRow("enveloped, rewritten in place, --follow")
        << true << "enveloped in place" << true
        << "kavri-flash: %1 is in an image envelope that does not check out";
    QTest::newRow("removed, --follow") << true << "removed" << false
                                       << "kavri-flash: Cannot read %1: No such file or directory; devices go on "
                                          "getting the image read before (SHA-256 ";
}

// A line flashes the image read at the start, whatever happens to the file:
// a copy under way or a file gone never reaches a device. With --follow a
// rebuilt file is taken only when it is whole: renamed over the name, or in
// an envelope that checks out. Its writer pauses half way for 1.5 s, longer
// than any wait for the file to settle.
void TestTools::oneImagePerRun()
{
    QFETCH(bool, follow);
    QFETCH(QString, rebuild);
    QFETCH(bool, taken);
    QFETCH(QString, problem);
    const bool enveloped = rebuild.startsWith(QStringLiteral("enveloped"));
    const QByteArray firstBuild = enveloped ? ImageEnvelope::wrap(patterned(blockSize), 1, 0) : patterned(blockSize);
    const QByteArray secondBuild = enveloped ? ImageEnvelope::wrap(patterned(blockSize, 1), 1, 1) : patterned(blockSize, 1);
    const QString temporary = firmwareFilePath + QStringLiteral(".new");
    QVERIFY(writeFile(firmwareFilePath, firstBuild));
    PtyLine line;
    QProcess flash;
    const QStringList followOption = follow ? QStringList{"--follow"} : QStringList();
    flash.start(QStringLiteral(KAVRI_FLASH), followOption + QStringList{"--port", line.path, "--devices", "3",
                                                                        firmwareFilePath});
    QVERIFY(waitForOpened(flash));

    QList<QByteArray> payloads;
    for (int device = 1; device <= 3; ++device) {
        if (device == 2 && rebuild == "removed")
            QVERIFY(QFile::remove(firmwareFilePath));
        if (device == 2 && rebuild != "removed") {
            QVERIFY(writeFile(rebuild == "renamed" ? temporary : firmwareFilePath, secondBuild.left(1300)));
            QTest::qWait(1500);
        }
        if (device == 3) {
            if (rebuild == "renamed")
                QVERIFY(writeFile(temporary, secondBuild) && std::rename(qPrintable(temporary), qPrintable(firmwareFilePath)) == 0);
            else if (rebuild != "removed")
                QVERIFY(writeFile(firmwareFilePath, secondBuild));
            // The change is said, or the file taken (a second "Firmware " line, on stdout).
            const QByteArray said = taken ? "Firmware " : problem.section(QStringLiteral("%1"), 1).left(12).toUtf8();
            QVERIFY(waitForText(flash, said, taken ? 2 : 1, taken ? QProcess::StandardOutput : QProcess::StandardError));
        }
        QVERIFY(line.sendAfterSilence(announcement() + pollByte + ACK));
        QByteArray frame = line.receive(greetingLength + frameLength).mid(greetingLength);
        QByteArray payload;
        while (frame.size() == frameLength) {
            payload += frame.mid(1, blockSize);
            QVERIFY(line.send(QByteArray(1, ACK)));
            frame = line.receive(1);
            if (frame != QByteArray(1, EOT))
                frame += line.receive(frameLength - int(frame.size()));
        }
        QCOMPARE(frame, QByteArray(1, EOT));
        payloads.append(payload);
    }
    const Finished result = waitFor(flash);

    QCOMPARE(result.exitCode, 0);
    const QByteArray last = taken ? secondBuild : firstBuild;
    QCOMPARE(payloads, (QList<QByteArray>{firstBuild, firstBuild, last}));
    QCOMPARE(result.err.count(u'\n'), problem.isEmpty() ? 0 : 1);
    QVERIFY2(problem.isEmpty() ? result.err.isEmpty() : result.err.startsWith(problem.arg(firmwareFilePath)),
             qPrintable(result.err));
    const QString lastSha = QString::fromLatin1(QCryptographicHash::hash(last, QCryptographicHash::Sha256).toHex());
    QCOMPARE(linesStartingWith(result.out, QStringLiteral("Firmware ")).size(), taken ? 2 : 1);
    QCOMPARE(linesStartingWith(result.out, QStringLiteral("SHA-256 ")).last(), "SHA-256 " + lastSha);
}

// A firmware truncated in place during a transfer: the device still gets
// the file as it was when its transfer started, and the log says so.
void TestTools::firmwareTruncatedMidTransfer()
{
    const QByteArray firmware = patterned(40 * blockSize + 7); // more than the file's read buffer
    QVERIFY(writeFile(firmwareFilePath, firmware));
    const QString logPath = dir.filePath(QStringLiteral("truncated.csv"));
    PtyLine line;
    QProcess flash;
    flash.start(QStringLiteral(KAVRI_FLASH), {"--port", line.path, "--log", logPath, firmwareFilePath});
    QVERIFY(waitForOpened(flash));

    QVERIFY(line.sendAfterSilence(announcement() + pollByte + ACK));
    QByteArray frames = line.receive(greetingLength + frameLength).mid(greetingLength);
    QVERIFY(writeFile(firmwareFilePath, firmware.left(10 * blockSize))); // truncated, then written
    for (int block = 1; block <= 41; ++block) {
        QVERIFY(line.send(QByteArray(1, ACK)));
        frames += line.receive(block < 41 ? frameLength : 1);
    }
    const Finished result = waitFor(flash);

    QCOMPARE(result.exitCode, 0);
    QByteArray payload;
    for (int at = 0; at + frameLength <= frames.size(); at += frameLength)
        payload += frames.mid(at + 1, blockSize);
    QCOMPARE(payload, padded(firmware));
    QVERIFY(frames.endsWith(EOT));
    const QString sha256 = QString::fromLatin1(QCryptographicHash::hash(firmware, QCryptographicHash::Sha256).toHex());
    QVERIFY2(readFile(logPath).contains(("40967," + sha256 + ",40967,41,0,").toLatin1()), readFile(logPath).constData());
}

void TestTools::reopensLostPort_data()
{
    QTest::addColumn<QStringList>("replug");    // kavri-devsim options
    QTest::addColumn<QString>("timeout");       // kavri-flash --timeout
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("downloadsOk");
    QTest::addColumn<QString>("lastProblem");   // %1: the link

    const QString lost = QStringLiteral("Port %1 lost (unplugged?) during the transfer to "
                                        "UID 4B41565249000001, after block 2 of 4");
    QTest::newRow("back after 300 ms") << QStringList{"--replug-after", "300"} << "10" << 3 << 2 << lost;
    QTest::newRow("never back") << QStringList{} << "0.2" << 4 << 0
                                << "Timed out: silent for 0.2 s while waiting for %1 to come back";
}

void TestTools::reopensLostPort()
{
    QFETCH(QStringList, replug);
    QFETCH(QString, timeout);
    QFETCH(int, exitCode);
    QFETCH(int, downloadsOk);
    QFETCH(QString, lastProblem);
    const QByteArray firmware = patterned(3 * blockSize + 5);
    QVERIFY(writeFile(firmwareFilePath, firmware));
    const QString link = dir.filePath(QStringLiteral("serial-by-id"));

    Simulator simulator;
    QVERIFY(simulator.start(replug + QStringList{"--link", link, "--devices", "2", "--unplug-at", "2",
                                                 "--out", dir.filePath(QStringLiteral("image%n.bin"))}));
    const Finished flash = runFlash({"--reopen", "--port", link, "--devices", "2", "--timeout", timeout,
                                     firmwareFilePath});
    simulator.finish();

    QCOMPARE(flash.exitCode, exitCode);
    QVERIFY2(flash.err.startsWith(QStringLiteral("kavri-flash: Port %1 lost (unplugged?) ").arg(link)), qPrintable(flash.err));
    QVERIFY2(flash.err.endsWith(QStringLiteral("kavri-flash: ") + lastProblem.arg(link) + u'\n'), qPrintable(flash.err));
    // The device lost with the port is reported, though it is not one of the two asked for.
    const QRegularExpression lostDevice(
        QStringLiteral("^Port lost: UID 4B41565249000001, 1024 of 3077 bytes, 0 NAKs, [0-9.]+ s\n"
                       "Waiting for %1 to come back\n").arg(QRegularExpression::escape(link)),
        QRegularExpression::MultilineOption);
    QVERIFY2(lostDevice.match(flash.out).hasMatch(), qPrintable(flash.out));
    QCOMPARE(linesStartingWith(flash.out, QStringLiteral("Download OK")).size(), downloadsOk);
    for (int device = 2; device <= downloadsOk + 1; ++device)
        QCOMPARE(readFile(dir.filePath(QStringLiteral("image%1.bin").arg(device))), padded(firmware));
    QVERIFY(!QFileInfo::exists(link)); // the simulator takes its link with it
}

// A short run with every fault at once: random NAKs, noise before each
// announcement, a cancel every fifth device, and device 6 unplugged and
// plugged back in. scripts/soak runs the long version.
void TestTools::soakWithFaults()
{
    const int devices = 12;
    const QByteArray firmware = patterned(6 * blockSize + 700);
    QVERIFY(writeFile(firmwareFilePath, firmware));
    const QString link = dir.filePath(QStringLiteral("serial-by-id"));

    Simulator simulator;
    QVERIFY(simulator.start({"--link", link, "--devices", QString::number(devices), "--nak-rate", "0.1",
                             "--noise", "--seed", "5", "--cancel-at", "3", "--cancel-every", "5",
                             "--unplug-at", "2", "--unplug-device", "6", "--replug-after", "200",
                             "--out", dir.filePath(QStringLiteral("image%n.bin"))}));
    const Finished flash = runFlash({"-v", "--reopen", "--port", link, "--devices", QString::number(devices),
                                     "--timeout", "10", firmwareFilePath});
    const Finished device = simulator.finish();

    QCOMPARE(flash.exitCode, 3); // some devices cancelled, one lost with its port
    QCOMPARE(device.exitCode, 0);
    const QMap<int, QString> outcomes = deviceOutcomes(device.out);
    QCOMPARE(outcomes.keys(), QList<int>({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
    QCOMPARE(outcomes.value(5), QStringLiteral("cancelled"));
    QCOMPARE(outcomes.value(6), QStringLiteral("unplugged"));
    QCOMPARE(outcomes.value(10), QStringLiteral("cancelled"));
    QCOMPARE(linesStartingWith(flash.out, QStringLiteral("DOWNLOAD CANCELED")).size(), 2);
    QCOMPARE(linesStartingWith(flash.out, QStringLiteral("Download OK")).size(), devices - 2);
    for (auto it = outcomes.cbegin(); it != outcomes.cend(); ++it) {
        if (it.value() == QStringLiteral("completed"))
            QCOMPARE(readFile(dir.filePath(QStringLiteral("image%1.bin").arg(it.key()))), padded(firmware));
    }
    const int naksSent = sumOfNumbers(device.out, QStringLiteral("NAKs sent: (\\d+)"));
    QVERIFY(naksSent > 0);
    QCOMPARE(sumOfNumbers(flash.out, QStringLiteral("^.*: UID .*, (\\d+) NAKs, ")), naksSent);
    // The figures scripts/soak reads to judge the host's memory.
    const QRegularExpression memoryFigures(QStringLiteral(
        "^Memory: \\d+ KiB resident after device 1\n(.*\n)*Memory: \\d+ KiB resident at the end\n\\z"),
        QRegularExpression::MultilineOption);
    QVERIFY2(memoryFigures.match(flash.out).hasMatch(), qPrintable(flash.out));
}

// How kavri-devsim ends: an --out it cannot write, checked before a line is
// made and again whenever an image is saved, and a host that falls silent.
void TestTools::simulatorExitStatus_data()
{
    QTest::addColumn<QStringList>("options"); // DIR: the test's folder
    QTest::addColumn<QString>("host");        // none, kavri-flash, killed kavri-flash, silent
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("err");         // its one line, DIR filled in

    QTest::newRow("out in a missing folder") << QStringList{"--out", "DIR/missing/image.bin"} << "none" << 2
        << "kavri-devsim: --out: cannot write DIR/missing/image.bin: no folder DIR/missing";
    QTest::newRow("out is a folder") << QStringList{"--out", "DIR"} << "none" << 2
        << "kavri-devsim: --out: cannot write DIR: it is a folder";
    QTest::newRow("out without %p on two lines") << QStringList{"--count", "2", "--out", "DIR/image%n.bin"} << "none" << 2
        << "kavri-devsim: --out needs %p with --count above 1, or the lines overwrite each other's images";
    // Only the first name, line1/image1.bin, has its folder.
    QTest::newRow("out checked by its first name") << QStringList{"--out", "DIR/line%p/image%n.bin"} << "kavri-flash"
        << 0 << "";
    QTest::newRow("out fails on saving") << QStringList{"--out", "/dev/full"} << "kavri-flash" << 5
        << "kavri-devsim: cannot write /dev/full: No space left on device";
    QTest::newRow("host silent once open") << QStringList{"--idle-timeout", "0.2"} << "silent" << 4
        << "kavri-devsim: Device 1 UID 4B41565249000001 gave up: the host was silent for 0.2 s";
    QTest::newRow("host gone mid-transfer") << QStringList{"--idle-timeout", "0.2", "--baud", "115200"}
        << "killed kavri-flash" << 4 << "kavri-devsim: Device 1 UID 4B41565249000001 gave up: the host was silent for 0.2 s";
    QTest::newRow("silent host, no idle timeout") << QStringList{"--idle-timeout", "0"} << "silent" << 130 << "";
}

void TestTools::simulatorExitStatus()
{
    QFETCH(QStringList, options);
    QFETCH(QString, host);
    QFETCH(int, exitCode);
    QFETCH(QString, err);
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("line1")));
    QVERIFY(writeFile(firmwareFilePath, patterned(40 * blockSize)));
    options.replaceInStrings(QStringLiteral("DIR"), dir.path());
    err.replace(QStringLiteral("DIR"), dir.path());

    Simulator simulator;
    Finished device;
    if (host == "none") {
        QVERIFY(!simulator.start(options));
        device = simulator.finish();
        QVERIFY(device.out.isEmpty()); // no line was made
    } else {
        QVERIFY(simulator.start(options));
        QFile line(simulator.path);
        QProcess flash;
        if (host == "silent") {
            QVERIFY(line.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
            QTest::qWait(2 * timeoutMs);
            line.close(); // lets a simulator that gave up end at once
            if (!simulator.waitForFinished(timeoutMs))
                simulator.terminate();
        } else {
            flash.start(QStringLiteral(KAVRI_FLASH), {"--port", simulator.path, "--timeout", "5", firmwareFilePath});
            if (host == "killed kavri-flash") {
                QTest::qWait(timeoutMs);
                flash.kill();
            }
            waitFor(flash);
        }
        device = simulator.finish();
    }

    QCOMPARE(device.exitCode, exitCode);
    QCOMPARE(device.err, err.isEmpty() ? err : err + u'\n');
    if (host.endsWith("kavri-flash"))
        QVERIFY2(device.out.contains(host == "kavri-flash" ? ": completed, 40 blocks" : ": abandoned, "), qPrintable(device.out));
    if (exitCode == 0)
        QCOMPARE(readFile(dir.filePath(QStringLiteral("line1/image1.bin"))), patterned(40 * blockSize));
}

// One kavri-flash over several paced kavri-devsim lines and two ports that
// fail. Each line is an independent device with UIDs of its own, with an
// image per line and device and a summary row per line before the totals;
// the lines run side by side. Through a pipe every line of both programs fits
// 80 columns, and the closing table says what ended each port.
void TestTools::manyPortsAtOnce()
{
    const int lines = 3;
    const QByteArray firmware = patterned(2 * blockSize);
    QVERIFY(writeFile(firmwareFilePath, firmware));
    Simulator simulator;
    QVERIFY(simulator.start({"--count", QString::number(lines), "--devices", "2", "--uid", "0A1B2C3D4E5F6070",
                             "--baud", "115200", "--out", dir.filePath(QStringLiteral("image%p-%n.bin"))},
                            lines));
    QCOMPARE(QSet<QString>(simulator.paths.cbegin(), simulator.paths.cend()).size(), lines);
    PtyLine silent;
    QStringList arguments{"--devices", "2", "--timeout", "1", "--port", "ttyNOPE", "--port", silent.path};
    QMap<QString, QString> endings{{"ttyNOPE", "not opened: No such file or directory"}, {silent.path, "timed out"}};
    for (const QString &path : std::as_const(simulator.paths)) {
        arguments += {"--port", path};
        endings.insert(path, QStringLiteral("served 2"));
    }
    const Finished flash = runFlash(arguments + QStringList{firmwareFilePath});
    const Finished device = simulator.finish();

    QCOMPARE(flash.exitCode, 4);
    QCOMPARE(device.exitCode, 0);
    for (const QString &line : (flash.out + flash.err + device.out + device.err).split(u'\n'))
        QVERIFY2(line.size() <= 80, qPrintable(line));
    QCOMPARE(flash.out.count(QStringLiteral(": Download OK: UID 0A1B2C3D4E5F")), 2 * lines);
    const QStringList table = flash.out.mid(flash.out.indexOf(QStringLiteral("\nPort ")) + 1).split(u'\n', Qt::SkipEmptyParts);
    const qsizetype endedAt = table.first().indexOf(QStringLiteral("Ended"));
    QCOMPARE(table.size(), endings.size() + 2); // the heading and the exit status around the rows
    QCOMPARE(table.last(), QStringLiteral("Exit status 4"));
    for (const QString &row : table.mid(1, endings.size()))
        QCOMPARE(row.mid(endedAt), endings.value(row.section(u' ', 0, 0)));

    for (int line = 1; line <= lines; ++line) {
        for (int n = 1; n <= 2; ++n) {
            const QString row = QStringLiteral("Line %1 device %2 UID 0A1B2C3D4E5F6%3%4: completed, 2 blocks received\n")
                                    .arg(line).arg(n).arg(line - 1).arg(69 + n);
            QVERIFY2(device.out.contains(row), qPrintable(device.out));
            QCOMPARE(readFile(dir.filePath(QStringLiteral("image%1-%2.bin").arg(line).arg(n))), firmware);
        }
        const QRegularExpression row(QStringLiteral("^ +%1  %2 +2 +4 +0 +0 +\\d+ +\\d+ +\\d+$")
                                         .arg(line).arg(QRegularExpression::escape(simulator.paths.at(line - 1))),
                                     QRegularExpression::MultilineOption);
        QVERIFY2(row.match(device.out).hasMatch(), qPrintable(device.out));
    }
    QVERIFY2(device.out.contains(QStringLiteral("\nDevices: 6, blocks: 12, bad frames: 0, NAKs sent: 0\n")),
             qPrintable(device.out));
    // Each line is paced on its own: sharing one timing would cut the rate to a third,
    // an unpaced line would pass the ceiling.
    // The lines ran side by side: the wall time is less than their times added up.
    const QRegularExpression utilisation(QStringLiteral("^Payload rate: ([0-9.]+) B/s a line \\(3 lines\\) over ([0-9.]+) s\n"
                                                        "Line use: ([0-9.]+)% of the [0-9.]+ B/s ceiling$"),
                                         QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = utilisation.match(device.out);
    QVERIFY2(match.hasMatch() && match.captured(3).toDouble() > 90 && match.captured(3).toDouble() <= 100,
             qPrintable(device.out));
    const double linesSeconds = 12 * blockSize / match.captured(1).toDouble();
    QVERIFY2(match.captured(2).toDouble() < linesSeconds, qPrintable(device.out));
}

void TestTools::badInputNeverTouchesLine_data()
{
    QTest::addColumn<QString>("fileKind");
    QTest::addColumn<bool>("portExists");
    QTest::addColumn<QString>("log");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("problem"); // %1: the firmware

    const QString cannotSend = QStringLiteral("Cannot send %1: ");
    QTest::newRow("missing file") << "missing" << true << "" << 2 << "Cannot read %1: No such file or directory";
    QTest::newRow("empty file") << "empty" << true << "" << 2 << "%1 is empty (0 bytes)";
    QTest::newRow("directory") << "directory" << true << "" << 2 << "Cannot read %1: ";
    QTest::newRow("unreadable file") << "unreadable" << true << "" << 2 << "Cannot read %1: ";
    QTest::newRow("4 GiB file") << "4 GiB" << true << "" << 2 << cannotSend + "File too large";
    QTest::newRow("missing port") << "good" << false << "" << 3 << "Cannot open ";
    QTest::newRow("log cannot be written") << "good" << true << "/dev/full" << 5
                                           << "Cannot write log /dev/full: No space left on device";
    // A folder no file can be made in, for root too.
    QTest::newRow("log in a folder that refuses it") << "good" << true << "/sys/kavri.csv" << 5
                                                     << "Cannot write log /sys/kavri.csv: Permission denied";
}

void TestTools::badInputNeverTouchesLine()
{
    QFETCH(QString, fileKind);
    QFETCH(bool, portExists);
    QFETCH(QString, log);
    QFETCH(int, exitCode);
    QFETCH(QString, problem);
    QFile file(firmwareFilePath);
    if (fileKind == "directory") {
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("firmware.kvf")));
    } else if (fileKind != "missing") {
        QVERIFY(file.open(QIODevice::WriteOnly));
        const bool hasContent = fileKind == "good" || fileKind == "unreadable";
        QVERIFY(file.write(patterned(hasContent ? blockSize : 0)) >= 0);
        if (fileKind == "4 GiB")
            QVERIFY(file.resize(qint64(1) << 32)); // sparse: no disk space used
        file.close();
    }
    QString firmwarePath = firmwareFilePath;
    if (fileKind == "unreadable") {
        if (geteuid() != 0) {
            QVERIFY(file.setPermissions(QFile::WriteOwner));
        } else {
            // Root reads any file; a write-only kernel attribute refuses it too.
            firmwarePath = QStringLiteral("/sys/bus/pci/rescan");
            if (!QFile::exists(firmwarePath))
                QSKIP("running as root and no file here refuses root");
        }
    }
    PtyLine line;
    const QString port = portExists ? line.path : dir.filePath(QStringLiteral("no-such-tty"));
    const QStringList logOption = log.isEmpty() ? QStringList() : QStringList{"--log", log};
    const Finished flash = runFlash(logOption + QStringList{"--port", port, firmwarePath});

    QCOMPARE(flash.exitCode, exitCode);
    QVERIFY2(flash.err.startsWith(QStringLiteral("kavri-flash: ") + problem.arg(firmwarePath)), qPrintable(flash.err));
    QCOMPARE(flash.err.count(u'\n'), 1); // one line, and no warning from below
    QVERIFY(!line.wasOpened());
}

void TestTools::busyPortIsReported_data()
{
    QTest::addColumn<QString>("secondName"); // LINE: the holder's name; LINK: a link to it, from the test's folder
    QTest::addColumn<QString>("opened");     // the path the second run says it could not open
    QTest::newRow("the same name") << "LINE" << "LINE";
    QTest::newRow("a link to it") << "FOLDER/links/slot" << "FOLDER/links/slot";
    QTest::newRow("a relative link to it") << "links/slot" << "FOLDER/links/slot";
}

// A port has one owner, whatever name each program gives it: the second is
// refused before it sends a byte.
void TestTools::busyPortIsReported()
{
    QFETCH(QString, secondName);
    QFETCH(QString, opened);
    QVERIFY(writeFile(firmwareFilePath, patterned(blockSize)));
    PtyLine line;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("links")));
    const QString link = dir.filePath(QStringLiteral("links/slot"));
    QFile::remove(link);
    QVERIFY(QFile::link(line.path, link));
    const auto named = [&](QString text) {
        return text.replace(QStringLiteral("LINE"), line.path).replace(QStringLiteral("FOLDER"), dir.path());
    };
    QProcess holder;
    holder.start(QStringLiteral(KAVRI_FLASH), {"--port", line.path, firmwareFilePath});
    QVERIFY(waitForOpened(holder)); // the port is held
    QProcess second;
    second.setWorkingDirectory(dir.path());
    second.start(QStringLiteral(KAVRI_FLASH), {"--port", named(secondName), firmwareFilePath});
    const Finished refused = waitFor(second);
    holder.terminate();
    waitFor(holder);

    QCOMPARE(refused.exitCode, 3);
    QVERIFY2(refused.err.startsWith(QStringLiteral("kavri-flash: Cannot open %1: ").arg(named(opened)))
                 && refused.err.contains(QStringLiteral("port busy")),
             qPrintable(refused.err));
    QCOMPARE(refused.err.count(u'\n'), 1);
    QVERIFY(line.received().isEmpty());
}

// The reader of --json going away neither kills the run nor loses the
// record: the transfer under way finishes and is logged, and no device is
// started after it.
void TestTools::stdoutClosedIsSurvived()
{
    const QByteArray firmware = patterned(6 * blockSize);
    QVERIFY(writeFile(firmwareFilePath, firmware));
    const QString logPath = dir.filePath(QStringLiteral("closed.csv"));
    QFile::remove(logPath);
    Simulator simulator;
    QVERIFY(simulator.start({"--baud", "115200", "--devices", "2", "--idle-timeout", "0.2",
                             "--out", dir.filePath(QStringLiteral("image%n.bin"))}));
    // The reader goes away once the transfer is under way.
    const QString pipeline = QStringLiteral("\"$0\" \"$@\" | head -c 400 >/dev/null; exit ${PIPESTATUS[0]}");
    const Finished result = runCommand(QStringLiteral("bash"), {"-c", pipeline, KAVRI_FLASH, "--json", "--port",
                                                                simulator.path, "--devices", "2", "--log", logPath,
                                                                firmwareFilePath});
    simulator.finish();

    QCOMPARE(result.exitCode, 5);
    QVERIFY2(result.err.startsWith(QStringLiteral("kavri-flash: Standard output closed (Broken pipe)")), qPrintable(result.err));
    QCOMPARE(readFile(dir.filePath(QStringLiteral("image1.bin"))), padded(firmware));
    QCOMPARE(readFile(dir.filePath(QStringLiteral("image2.bin"))), QByteArray()); // announced to a closed port
    const QStringList log = QString::fromUtf8(readFile(logPath)).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(log.size(), 2);
    QVERIFY(log.last().endsWith(QStringLiteral(",ok")));
}

// SIGHUP, as logrotate's postrotate sends it, opens the log again by its
// name at once: the new file has its header before the next device.
void TestTools::hangUpReopensLog()
{
    QVERIFY(writeFile(firmwareFilePath, patterned(blockSize)));
    const QString logPath = dir.filePath(QStringLiteral("rotated.csv"));
    QFile::remove(logPath);
    PtyLine line;
    QProcess flash;
    flash.start(QStringLiteral(KAVRI_FLASH), {"-v", "--port", line.path, "--log", logPath, firmwareFilePath});
    QVERIFY(waitForOpened(flash));
    QVERIFY(QFile::rename(logPath, logPath + ".1"));
    ::kill(pid_t(flash.processId()), SIGHUP);
    QVERIFY(waitForText(flash, "Log " + logPath.toUtf8() + " opened again\n"));
    flash.terminate();

    QCOMPARE(waitFor(flash).exitCode, 130);
    QVERIFY(readFile(logPath).startsWith("time,port,"));
}

// With no serial port on the system (hidden in a mount namespace of its own),
// the list says so and a flash without --port stops before doing anything.
void TestTools::noPortsListed_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");

    QTest::newRow("list") << QStringList{"--list"} << 0 << "No serial ports found\n" << "";
    QTest::newRow("flash") << QStringList{"-q", "FIRMWARE"} << 2 << ""
                           << "kavri-flash: No --port given, and no serial port is listed\n"
                              "Name the device's port with --port NAME\n";
}

void TestTools::noPortsListed()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QVERIFY(writeFile(firmwareFilePath, patterned(blockSize)));
    arguments.replaceInStrings(QStringLiteral("FIRMWARE"), firmwareFilePath);
    const QString hidePorts = QStringLiteral("mount -t tmpfs none /sys/class/tty");
    if (QProcess::execute(QStringLiteral("unshare"), {"-m", "sh", "-c", hidePorts + " 2>/dev/null"}) != 0)
        QSKIP("cannot hide the serial ports: making a mount namespace needs root");

    QProcess flash;
    flash.start(QStringLiteral("unshare"), QStringList{"-m", "sh", "-c", hidePorts + " && exec \"$0\" \"$@\"",
                                                       QStringLiteral(KAVRI_FLASH)} + arguments);
    const Finished result = waitFor(flash);

    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.out, out);
    QCOMPARE(result.err, err);
}

void TestTools::listsPorts_data()
{
    QTest::addColumn<bool>("json");
    QTest::newRow("text") << false;
    QTest::newRow("json") << true;
}

// Every port the system lists, one a line, led by a name that --port opens
// under /dev; "No serial ports found" only when there is none, and nothing
// in JSON.
void TestTools::listsPorts()
{
    QFETCH(bool, json);
    const Finished list = runFlash(json ? QStringList{"--list", "--json"} : QStringList{"--list"});
    QStringList expected;
    for (const PortInfo &port : systemPorts()) {
        QVERIFY2(QFileInfo::exists(QStringLiteral("/dev/") + port.name), qPrintable(port.name));
        expected.append(json ? QStringLiteral("\"port\":\"%1\"").arg(port.name) : portDescription(port));
    }
    QCOMPARE(list.exitCode, 0);
    const QStringList lines = list.out.split(u'\n', Qt::SkipEmptyParts);
    if (expected.isEmpty() && !json)
        expected.append(QStringLiteral("No serial ports found"));
    QCOMPARE(lines.size(), expected.size());
    for (qsizetype i = 0; i < lines.size(); ++i)
        QVERIFY2(json ? lines[i].startsWith(u'{') && lines[i].contains(expected[i]) : lines[i] == expected[i], qPrintable(lines[i]));
}

void TestTools::commandLineAnswers_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments"); // LINE, LINK: a line and a link to it; FIRMWARE: a file
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // how a line of stdout starts; empty: nothing there
    QTest::addColumn<QString>("err");

    const QString version = QStringLiteral(" " KAVRI_VERSION "\n");
    const QStringList programs{KAVRI_UPDATE, KAVRI_FLASH, KAVRI_DEVSIM, KAVRI_IMAGE};
    for (const QString &program : programs) {
        const QString name = QFileInfo(program).fileName();
        QTest::addRow("%s --help", qPrintable(name)) << program << QStringList{"--help"} << 0 << "Usage: " << "";
        QTest::addRow("%s --version", qPrintable(name)) << program << QStringList{"--version"} << 0 << name + version << "";
    }
    QTest::newRow("kavriUpdate stray-word") << QString(KAVRI_UPDATE) << QStringList{"stray-word"} << 2 << ""
                                            << "kavriUpdate: Unexpected argument \"stray-word\" (see --help)\n";
    QTest::newRow("kavriUpdate --port without a name") << QString(KAVRI_UPDATE) << QStringList{"--port"} << 2 << ""
                                                       << "kavriUpdate: Missing value after '--port'. (see --help)\n";
    QTest::newRow("kavri-devsim stray-word") << QString(KAVRI_DEVSIM) << QStringList{"stray-word"} << 2 << ""
                                             << "kavri-devsim: unexpected argument \"stray-word\" (see --help)\n";
    QTest::newRow("kavri-flash --list file.kvf") << QString(KAVRI_FLASH) << QStringList{"--list", "file.kvf"} << 2 << ""
                                                 << "kavri-flash: --list takes no FILE, not \"file.kvf\" (see --help)\n";
    // A mistake is said at once, or what is waited for is said and --timeout
    // ends the wait; either way the JSON ends with the summary.
    const QString flash = KAVRI_FLASH;
    QTest::newRow("nothing matches, --timeout")
        << flash << QStringList{"--json", "--match", "NO-SUCH-ADAPTER", "--timeout", "0.2", "FIRMWARE"} << 4
        << "{\"event\":\"summary\",\"exit\":4,"
        << "kavri-flash: No port matches \"NO-SUCH-ADAPTER\" yet; waiting for one\n"
           "kavri-flash: Timed out: no port was open for 0.2 s\n";
    QTest::newRow("empty --match") << flash << QStringList{"--json", "--match", "", "FIRMWARE"} << 2
        << "{\"event\":\"summary\",\"exit\":2," << "kavri-flash: --match needs a text: an empty one would match every port\n";
    QTest::newRow("one port twice") << flash << QStringList{"--json", "--port", "LINE", "--port", "LINK", "FIRMWARE"} << 2
        << "{\"event\":\"summary\",\"exit\":2," << "kavri-flash: --port LINE and --port LINK name the same port\n";
}

// What a user tries first is answered on a text console with no display at
// all, in lines that fit 80 columns (JSON has a record a line), and no line
// is touched on the way.
void TestTools::commandLineAnswers()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QVERIFY(writeFile(firmwareFilePath, patterned(blockSize)));
    PtyLine line;
    const QString link = dir.filePath(QStringLiteral("by-id"));
    QFile::remove(link);
    QVERIFY(QFile::link(line.path, link));
    for (const auto &[word, text] : {std::pair{"LINE", line.path}, {"LINK", link}, {"FIRMWARE", firmwareFilePath}}) {
        arguments.replaceInStrings(QString::fromLatin1(word), text);
        err.replace(QString::fromLatin1(word), text);
    }
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *display : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(display));
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    const Finished result = waitFor(process);

    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.err, err);
    QCOMPARE(result.out.isEmpty(), out.isEmpty());
    QVERIFY2(out.isEmpty() || result.out.startsWith(out) || result.out.contains(u'\n' + out), qPrintable(result.out));
    for (const QString &outLine : result.out.split(u'\n'))
        QVERIFY2(outLine.size() <= 80 || arguments.contains(QStringLiteral("--json")), qPrintable(outLine));
    QVERIFY(!line.wasOpened());
}

QTEST_GUILESS_MAIN(TestTools)
#include "tst_tools.moc"
