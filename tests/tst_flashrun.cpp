// kavri-flash's run in-process: many ports at once over pseudo-terminals,
// with the simulated devices on their far ends.

#include "flashconsole.h"
#include "flashjson.h"
#include "flashrun.h"
#include "simulateddevice.h"
#include "ptyline.h"
#include "testdata.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <QDir>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>


#include <malloc.h>
#include <sys/resource.h>

namespace {

// The JSON Lines written so far, each parsed; an unparsable line fails.
QList<QJsonObject> jsonLines(std::FILE *stream)
{
    std::fflush(stream);
    std::rewind(stream);
    QList<QJsonObject> objects;
    char line[4096];
    while (std::fgets(line, sizeof line, stream)) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject())
            qWarning("not a JSON object: %s", line);
        objects.append(document.object());
    }
    std::fseek(stream, 0, SEEK_END);
    return objects;
}

QList<QJsonObject> events(const QList<QJsonObject> &objects, const QString &name)
{
    QList<QJsonObject> found;
    for (const QJsonObject &object : objects) {
        if (object.value("event").toString() == name)
            found.append(object);
    }
    return found;
}

QString writeFirmware(const QTemporaryDir &dir, const QByteArray &firmware)
{
    QFile file(dir.filePath("app.kvf"));
    return file.open(QIODevice::WriteOnly) && file.write(firmware) == firmware.size() ? file.fileName() : QString();
}

// A stdout whose reader stops for 1.5 s at the first progress event; the
// cookie is a std::atomic<bool> that says it has.
ssize_t pauseAtFirstProgress(void *cookie, const char *bytes, size_t size)
{
    if (QByteArrayView(bytes, qsizetype(size)).contains("\"progress\"")
        && !static_cast<std::atomic<bool> *>(cookie)->exchange(true)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    }
    return ssize_t(size);
}

int openFileDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

// The bytes malloc has handed out and not had back.
qint64 heapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
}

// Counts what the tests wait for, and writes the JSON Lines all the same.
struct CountingJson : FlashJson
{
    using FlashJson::FlashJson;
    void deviceEnded(const DeviceRecord &record) override
    {
        ++devicesEnded;
        FlashJson::deviceEnded(record);
    }
    void lost(const QString &port) override
    {
        ++portsLost;
        FlashJson::lost(port);
    }
    void problem(const QString &port, const QString &text) override
    {
        problems.append(text);
        FlashJson::problem(port, text);
    }
    int devicesEnded = 0;
    int portsLost = 0;
    QStringList problems;
};

// Sets the largest file this process may write, so a test can fill the disk
// at a byte of its choosing; put back when it goes.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails instead of ending the process
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved); }

private:
    rlimit saved{};
};

} // namespace

class TestFlashRun : public QObject
{
    Q_OBJECT

private slots:
    void portsServedAtOnce();
    void portDoneAnswersNothing_data();
    void portDoneAnswersNothing();
    void silentDeviceFreesItsPort();
    void hotPlugServesEveryComing_data();
    void hotPlugServesEveryComing();
    void portWatchHearsTheSystem();
    void logRowsWholeOrNotAtAll_data();
    void logRowsWholeOrNotAtAll();
    void slowReaderHoldsUpNobody_data();
    void slowReaderHoldsUpNobody();
    void logFailureLetsTransfersFinish_data();
    void logFailureLetsTransfersFinish();
    void noPortNamedTakesTheOneAdapter_data();
    void noPortNamedTakesTheOneAdapter();
    void matchReadsEveryDetail_data();
    void matchReadsEveryDetail();
    void progressLayout_data();
    void progressLayout();
};

// Four fixture slots and a modem: one device cancels, one is unplugged, one
// completes, and one never speaks while the others finish; the modem is not
// touched, and a slot listed only after the start is served too.
void TestFlashRun::portsServedAtOnce()
{
    QTemporaryDir dir;
    const QByteArray firmware = patterned(6 * 1024 + 300);
    QFile file(dir.filePath("app.kvf"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(firmware) == firmware.size());
    file.close();

    DeviceSimulator::Settings cancels, unplugged, completes, refusesSome;
    cancels.cancelAtBlock = 3;
    unplugged.unplugAtBlock = 2;
    refusesSome.nakEvery = 2; // blocks 2, 4 and 6 of 7, once each
    std::vector<std::unique_ptr<SimulatedDevice>> devices;
    for (const DeviceSimulator::Settings &settings : {cancels, unplugged, refusesSome, completes, completes}) {
        devices.push_back(std::make_unique<SimulatedDevice>(settings));
        // Each announces itself once the host opens its line; the stalled one never does.
        QVERIFY(devices.size() == 4 ? devices.back()->open() : devices.back()->openForHost());
    }
    SimulatedDevice &modem = *devices[4];
    bool lateSlotListed = false;
    const PortSource source = [&] {
        QList<PortInfo> ports;
        for (const auto &device : devices) {
            // An unplugged line leaves the list, as a pulled adapter does.
            if ((device.get() == devices[2].get() && !lateSlotListed) || !device->isOpen())
                continue;
            const bool isModem = device.get() == &modem;
            ports.append({device->slavePath(), isModem ? "modem" : "bench fixture", "FTDI",
                          device->slavePath().section(u'/', -1), quint16(isModem ? 0 : 0x0403), quint16(isModem ? 0 : 0x6001)});
        }
        return ports;
    };

    FlashOptions options;
    options.firmwarePath = file.fileName();
    options.match = QStringLiteral("fixture");
    std::FILE *out = std::tmpfile();
    std::FILE *err = std::tmpfile();
    FlashJson json(out, err);
    FlashRun run(options, json, source);
    QSignalSpy finished(&run, &FlashRun::finished);
    QVERIFY(run.begin());
    lateSlotListed = true;

    QTRY_COMPARE_WITH_TIMEOUT(events(jsonLines(out), "result").size(), 3, 20000);
    QVERIFY(finished.isEmpty()); // the stalled slot still waits
    QVERIFY(!modem.isHostConnected());
    run.interrupt(QStringLiteral("SIGTERM"));
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(finished.first().first().toInt(), 130);

    const QList<QJsonObject> lines = jsonLines(out);
    QMap<QString, QJsonObject> results;
    for (const QJsonObject &result : events(lines, "result"))
        results.insert(result.value("port").toString(), result);
    const QString sha256 = QString::fromLatin1(QCryptographicHash::hash(firmware, QCryptographicHash::Sha256).toHex());
    // The run's first event names the image; every event has its time.
    QCOMPARE(lines.first().value("event").toString(), QStringLiteral("firmware"));
    QCOMPARE(lines.first().value("sha256").toString(), sha256);
    QVERIFY(std::all_of(lines.cbegin(), lines.cend(), [](const QJsonObject &line) {
        return line.value("time").toString().size() >= 23;
    }));
    // Whatever the result, a record names the image the device was given and what it acknowledged.
    const QJsonObject canceled = results.value(devices[0]->slavePath());
    QCOMPARE(canceled.value("result").toString(), QStringLiteral("canceled"));
    QCOMPARE(canceled.value("acked_blocks").toInt(), 2); // the frame answered with CAN is not counted
    QCOMPARE(canceled.value("image_sha256").toString(), sha256);
    QCOMPARE(results.value(devices[1]->slavePath()).value("result").toString(), QStringLiteral("port-lost"));
    const QJsonObject ok = results.value(devices[2]->slavePath());
    QCOMPARE(ok.value("result").toString(), QStringLiteral("ok"));
    QCOMPARE(ok.value("acked_bytes").toInteger(), firmware.size());
    QCOMPARE(ok.value("naks").toInt(), 3);
    QCOMPARE(ok.value("image_sha256").toString(), sha256);
    QCOMPARE(ok.value("usb").toString(), QStringLiteral("0403:6001"));
    QCOMPARE(ok.value("serial").toString(), devices[2]->slavePath().section(u'/', -1));
    QCOMPARE(devices[2]->simulator().devices().value(0).image.left(firmware.size()), firmware);
    // The summary comes last and counts every result word, a zero included.
    QCOMPARE(lines.last().value("event").toString(), QStringLiteral("summary"));
    QMap<QString, QJsonObject> rows;
    for (const QJsonValue &row : lines.last().value("ports").toArray())
        rows.insert(row.toObject().value("port").toString(), row.toObject());
    const QStringList words{"ok", "canceled", "nak-limit", "port-lost", "timed-out", "interrupted"};
    for (int slot = 0; slot < 4; ++slot) {
        const QString counted = QStringList{"canceled", "port-lost", "ok", ""}.at(slot);
        for (const QString &word : words)
            QCOMPARE(rows.value(devices[size_t(slot)]->slavePath()).value(word).toInt(-1), word == counted ? 1 : 0);
    }
    QCOMPARE(events(lines, "opened").size(), 4);
    QCOMPARE(events(lines, "lost").size(), 1);
    QCOMPARE(events(lines, "summary").size(), 1);
    QCOMPARE(lines.last().value("exit").toInt(), 130);
    std::rewind(err);
    char problem[512];
    QStringList problems;
    while (std::fgets(problem, sizeof problem, err))
        problems.append(QString::fromLocal8Bit(problem).section(u' ', 1, 3));
    QCOMPARE(problems, (QStringList{"Port " + devices[1]->slavePath() + " lost", devices[3]->slavePath() + ": Stopped by"}));
    std::fclose(out);
    std::fclose(err);
}

void TestFlashRun::portDoneAnswersNothing_data()
{
    QTest::addColumn<QString>("ending");
    QTest::newRow("its devices served") << "served";
    QTest::newRow("timed out") << "timed out";
    QTest::newRow("timed out, plugged in again") << "timed out, plugged in again";
    QTest::newRow("stopped") << "stopped";
}

// A port that is done closes at once: a device that speaks after its end,
// or a next one, is answered by nobody.
void TestFlashRun::portDoneAnswersNothing()
{
    QFETCH(QString, ending);
    QTemporaryDir dir;
    FlashJson json(std::tmpfile(), std::tmpfile());
    FlashFirmware firmware(writeFirmware(dir, patterned(1024)), false, json);
    QCOMPARE(firmware.load(), QString());
    PtyLine line;
    FlashPortOptions options;
    options.deviceCount = ending == "served" ? 1 : 0;
    options.timeoutMs = ending.startsWith("timed out") ? 300 : 0;
    options.hotPlug = true;
    FlashPort port({line.path, {}, {}}, options, firmware, json);
    QSignalSpy finished(&port, &FlashPort::finished);
    QVERIFY(port.open());
    if (ending == "timed out, plugged in again") { // its silence is counted from the new opening
        port.vanished();
        QCoreApplication::processEvents(); // the port is away, and keeps no line
        QVERIFY(port.open());
    }
    if (ending == "served") {
        QVERIFY(line.sendAfterSilence(Wire::announcement() + "C" + Wire::ACK));
        QCOMPARE(line.receive(8 + 1027).size(), 8 + 1027);
        QVERIFY(line.send(QByteArray(1, Wire::ACK)));
        QCOMPARE(line.receive(1), QByteArray(1, Wire::EOT));
    }
    if (ending == "stopped")
        port.stop(TransferResult::Interrupted);
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 3000);

    QVERIFY(!port.isOpen());
    QVERIFY(line.sendAfterSilence(Wire::announcement() + "C" + Wire::ACK));
    QTest::qWait(200);
    QCOMPARE(line.received(), QByteArray());
}

// --device-timeout gives up a board gone silent mid-transfer and keeps the
// port for the next board; --timeout alone would end the port.
void TestFlashRun::silentDeviceFreesItsPort()
{
    QTemporaryDir dir;
    CountingJson json(std::tmpfile(), std::tmpfile());
    FlashFirmware firmware(writeFirmware(dir, patterned(1024)), false, json);
    QCOMPARE(firmware.load(), QString());
    PtyLine line;
    FlashPortOptions options;
    options.deviceCount = 2;
    options.deviceTimeoutMs = 300;
    FlashPort port({line.path, {}, {}}, options, firmware, json);
    QSignalSpy finished(&port, &FlashPort::finished);
    QList<TransferResult> results;
    connect(&port, &FlashPort::deviceEnded, this, [&results](const DeviceRecord &record) { results.append(record.result); });
    QVERIFY(port.open());
    QVERIFY(line.sendAfterSilence(Wire::announcement() + "C" + Wire::ACK));
    QCOMPARE(line.receive(8 + 1027).size(), 8 + 1027); // then the board says nothing
    QTRY_COMPARE_WITH_TIMEOUT(results.size(), 1, 3000);
    QVERIFY(port.isOpen());

    QVERIFY(line.sendAfterSilence(Wire::announcement() + "C" + Wire::ACK));
    QCOMPARE(line.receive(8 + 1027).size(), 8 + 1027);
    QVERIFY(line.send(QByteArray(1, Wire::ACK)));
    QCOMPARE(line.receive(1), QByteArray(1, Wire::EOT));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 3000);

    QCOMPARE(results, (QList<TransferResult>{TransferResult::TimedOut, TransferResult::Ok}));
    QCOMPARE(port.exitCode(), 4);
    QCOMPARE(json.problems, QStringList{"Timed out: the device was silent for 0.3 s during the transfer to "
                                        "UID 0A1B2C3D4E5F6070, after block 1 of 1"});
}

// An adapter plugged in and out again and again, as USB CDC boards are: no
// file descriptor left behind, and every board served, the replugs the run
// hears of and those quicker than it looks. A station that meets a new port
// name with each adapter keeps no more than a summary row per name.
// KAVRI_HOTPLUG_CYCLES sets the count.
void TestFlashRun::hotPlugServesEveryComing_data()
{
    QTest::addColumn<bool>("newNames");
    QTest::addColumn<int>("cycles");
    QTest::newRow("one name") << false << 10;
    QTest::newRow("a new name each time") << true << 24;
}

void TestFlashRun::hotPlugServesEveryComing()
{
    QFETCH(const bool, newNames);
    QFETCH(int, cycles);
    if (qEnvironmentVariableIsSet("KAVRI_HOTPLUG_CYCLES"))
        cycles = qEnvironmentVariableIntValue("KAVRI_HOTPLUG_CYCLES");
    QTemporaryDir dir;
    const QByteArray image = patterned(300);
    QString link = dir.filePath("ttyACM0");
    bool plugged = false;
    const PortSource source = [&] {
        return plugged ? QList<PortInfo>{{link, "board", "maker", "B1", 0x1234, 0x5678}} : QList<PortInfo>{};
    };
    FlashOptions options;
    options.firmwarePath = writeFirmware(dir, image);
    options.allPorts = true;
    options.port.deviceCount = cycles;
    CountingJson json(std::tmpfile(), std::tmpfile());
    FlashRun run(options, json, source);
    QSignalSpy finished(&run, &FlashRun::finished);
    QVERIFY(run.begin());

    const int settledCycle = cycles / 3;
    int fdsSettled = 0;
    qint64 heapSettled = 0;
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        if (newNames)
            link = dir.filePath(QStringLiteral("ttyACM%1").arg(cycle));
        auto board = std::make_unique<SimulatedDevice>(DeviceSimulator::Settings{});
        board->setLinkPath(link);
        QVERIFY(board->openForHost());
        plugged = true;
        run.portsChanged(); // the system's event: a port came
        QTRY_COMPARE(json.devicesEnded, cycle);
        QCOMPARE(board->simulator().devices().value(0).image.left(image.size()), image);
        board.reset(); // pulled
        if (cycle == cycles)
            break;
        plugged = false;
        // Every other time the run hears of it before the board is back.
        if (cycle % 2)
            run.portsChanged();
        QTRY_COMPARE(json.portsLost, cycle);
        if (cycle == settledCycle) {
            QCoreApplication::processEvents(); // what the port leaves behind is let go
            fdsSettled = openFileDescriptors();
            heapSettled = heapInUse();
        }
    }
    QCoreApplication::processEvents();
    const int fdsAtEnd = openFileDescriptors();
    const qint64 heapGrowthPerCycle = (heapInUse() - heapSettled) / (cycles - settledCycle);
    qInfo("%d hot-plug cycles: %d file descriptors open after cycle %d, %d at the end; heap %lld bytes a cycle",
          cycles, fdsSettled, settledCycle, fdsAtEnd, heapGrowthPerCycle);

    QVERIFY(fdsAtEnd <= fdsSettled);
    QCOMPARE(json.devicesEnded, cycles);
    // A summary row costs a few KiB; a closed port's write buffer alone is 32 KiB.
    QVERIFY2(heapGrowthPerCycle < 16 * 1024, qPrintable(QString::number(heapGrowthPerCycle)));
    if (!newNames) { // every port has served its count
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(finished.first().first().toInt(), 0); // a port that goes with no device on it is no failure
    }
}

// The system's own event for a tty reaches the run: the kernel is asked to
// say again that a port was added, as it does when an adapter is plugged in.
void TestFlashRun::portWatchHearsTheSystem()
{
    PortWatch watch;
    if (!watch.start())
        QSKIP("no device events on this system");
    const QString name = QStringLiteral("ttyS0");
    QFile uevent(QStringLiteral("/sys/class/tty/%1/uevent").arg(name));
    if (!uevent.open(QIODevice::WriteOnly))
        QSKIP("cannot ask the kernel for an event: needs root and a tty");
    QSignalSpy events(&watch, &PortWatch::portEvent);
    QVERIFY(uevent.write("add\n") > 0);
    uevent.close();
    QTRY_VERIFY(std::any_of(events.cbegin(), events.cend(), [&name](const QList<QVariant> &event) {
        return event.value(0).toString() == name && !event.value(1).toBool();
    }));
}

void TestFlashRun::logRowsWholeOrNotAtAll_data()
{
    QTest::addColumn<QString>("mishap");
    QTest::addColumn<QString>("problem"); // empty: the row is written

    const QString lost = QStringLiteral("; the row of ttyUSB0 UID 0A1B2C3D4E5F6070 (Download OK) is lost");
    QTest::newRow("written") << "none" << "";
    QTest::newRow("cut off by an earlier run") << "cut off" << "";
    QTest::newRow("disk full mid-row") << "full" << "File too large" + lost;
    QTest::newRow("log removed") << "removed" << "";
    QTest::newRow("moved away, an empty file in its place") << "moved" << "";
    QTest::newRow("log renamed over") << "replaced" << "";
    QTest::newRow("cut to nothing (copytruncate)") << "truncated" << "";
    QTest::newRow("folder gone") << "folder gone" << "No such file or directory" + lost;
}

// A log row is written whole or not at all: the file stays well-formed, and
// a row that is lost says why and whose it was. A rotated log is followed:
// the row goes to the file under the log's name, under its header.
void TestFlashRun::logRowsWholeOrNotAtAll()
{
    QFETCH(QString, mishap);
    QFETCH(QString, problem);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath("logs"));
    const QString path = dir.filePath("logs/log.csv");
    if (mishap == "cut off") {
        FlashLog earlier;
        QCOMPARE(earlier.open(path), QString());
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append) && file.write("2026-12-07T10:00:00.000Z,ttyUSB1,") > 0);
    }
    FlashLog log;
    QCOMPARE(log.open(path), QString());
    DeviceRecord record;
    record.port = {"ttyUSB0", {}, {}};
    record.identity = Wire::identityRecord();
    std::unique_ptr<FileSizeLimit> limit;
    if (mishap == "full")
        limit = std::make_unique<FileSizeLimit>(QFileInfo(path).size() + 20);
    if (mishap == "removed")
        QVERIFY(QFile::remove(path));
    if (mishap == "moved") { // logrotate's way: mv, then touch
        QFile fresh(path);
        QVERIFY(QFile::rename(path, path + ".1") && fresh.open(QIODevice::WriteOnly));
    }
    if (mishap == "replaced")
        QVERIFY(QFile::copy(path, path + ".new") && std::rename(qPrintable(path + ".new"), qPrintable(path)) == 0);
    if (mishap == "truncated")
        QVERIFY(QFile::resize(path, 0));
    if (mishap == "folder gone")
        QVERIFY(QDir(dir.filePath("logs")).removeRecursively());
    const qint64 sizeBefore = QFileInfo(path).size();
    const QString result = log.append(record, "app.kvf");
    limit.reset();

    QVERIFY2(problem.isEmpty() ? result.isEmpty() : result == "Cannot write log " + path + ": " + problem,
             qPrintable(result));
    if (mishap == "folder gone")
        return;
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.last(), QByteArray()); // every line ended
    if (!problem.isEmpty()) {
        QCOMPARE(QFileInfo(path).size(), sizeBefore); // nothing of the row went in
        return;
    }
    QVERIFY(lines.first().startsWith("time,port,"));
    QVERIFY(lines.at(lines.size() - 2).contains(",ttyUSB0,,,0A1B2C3D4E5F6070,2.3,app.kvf,"));
    QCOMPARE(lines.at(lines.size() - 2).count(','), lines.first().count(','));
}

void TestFlashRun::slowReaderHoldsUpNobody_data()
{
    QTest::addColumn<qsizetype>("waitingLimit"); // bytes of stdout that may wait for the reader
    QTest::addColumn<int>("exitCode");
    QTest::newRow("reader pauses") << FlashOutput::defaultLimitBytes << 0;
    QTest::newRow("reader too far behind") << qsizetype(200) << 5;
}

// A reader of stdout that stops for a while holds up no transfer (its device
// would give up on a silent host); one that falls too far behind is a lost
// record, and the run ends with exit 5.
void TestFlashRun::slowReaderHoldsUpNobody()
{
    QFETCH(qsizetype, waitingLimit);
    QFETCH(int, exitCode);
    std::atomic<bool> paused = false;
    cookie_io_functions_t readerPausing{};
    readerPausing.write = pauseAtFirstProgress;
    QTemporaryDir dir;
    const QByteArray image = patterned(8 * 1024);
    SimulatedDevice device(DeviceSimulator::Settings{});
    device.setBaudRate(115200); // 0.7 s for the image
    device.setIdleTimeout(500);
    QVERIFY(device.openForHost());
    FlashOptions options;
    options.firmwarePath = writeFirmware(dir, image);
    options.portNames = {device.slavePath()};
    CountingJson json(::fopencookie(&paused, "w", readerPausing), std::tmpfile());
    FlashRun run(options, json, [] { return QList<PortInfo>(); });
    QSignalSpy finished(&run, &FlashRun::finished);
    json.writeInBackground(waitingLimit);
    QVERIFY(run.begin());
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 5000);
    json.finishOutput();

    QCOMPARE(finished.first().first().toInt(), exitCode);
    if (exitCode == 0)
        QCOMPARE(device.simulator().devices().value(0).image.left(image.size()), image);
    else
        QCOMPARE(json.problems.value(0), "Standard output's reader fell too far behind (200 bytes unread): no device "
                                         "is started from now on; the transfers under way finish");
}

void TestFlashRun::logFailureLetsTransfersFinish_data()
{
    QTest::addColumn<bool>("slowPulled"); // every port served, and the slow one pulled mid-transfer
    QTest::newRow("ports named") << false;
    QTest::newRow("every port, one pulled on the way") << true;
}

// A log that cannot be written stops the run before the next device, but
// a transfer under way on another port finishes; one whose port is pulled
// meanwhile ends the wind-down all the same.
void TestFlashRun::logFailureLetsTransfersFinish()
{
    QFETCH(bool, slowPulled);
    QTemporaryDir dir;
    const QByteArray image = patterned(8 * 1024);
    DeviceSimulator::Settings settings;
    settings.deviceCount = 2;
    SimulatedDevice slow(settings), quick(settings);
    slow.setBaudRate(115200); // 0.7 s for the image
    QVERIFY(slow.openForHost());
    QVERIFY(quick.open()); // announces only when started
    FlashOptions options;
    options.firmwarePath = writeFirmware(dir, image);
    options.portNames = QStringList{slow.slavePath(), quick.slavePath()};
    options.port.deviceCount = 0;
    options.logPath = dir.filePath("log.csv");
    QList<PortInfo> listed;
    if (slowPulled) {
        options.allPorts = true;
        listed = {{options.portNames[0], {}, {}, {}, 0, 0}, {options.portNames[1], {}, {}, {}, 0, 0}};
        options.portNames.clear();
    }
    // Files would meet the size limit too.
    CountingJson json(std::fopen("/dev/null", "w"), std::fopen("/dev/null", "w"));
    FlashRun run(options, json, [&listed] { return listed; });
    QSignalSpy finished(&run, &FlashRun::finished);
    QVERIFY(run.begin());
    QTRY_VERIFY(slow.simulator().devices().value(0).image.size() >= 1024);
    FileSizeLimit full(QFileInfo(options.logPath).size()); // no row fits now
    quick.start();
    if (slowPulled) {
        QTRY_VERIFY(!json.problems.isEmpty());
        slow.hangUp();
    }
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 5000);

    QCOMPARE(finished.first().first().toInt(), 5);
    QCOMPARE(quick.simulator().devices().value(0).image.left(image.size()), image);
    if (slowPulled)
        return;
    QCOMPARE(slow.simulator().devices().value(0).image.left(image.size()), image);
    QCOMPARE(quick.simulator().devices().value(0).image.left(image.size()), image);
    // The next devices announced themselves to closed ports.
    QVERIFY(slow.simulator().devices().value(1).image.isEmpty() && quick.simulator().devices().value(1).image.isEmpty());
    QCOMPARE(json.problems.size(), 2);
    for (const QString &text : std::as_const(json.problems))
        QVERIFY2(text.startsWith("Cannot write log " + options.logPath + ": File too large; the row of "), qPrintable(text));
}

void TestFlashRun::noPortNamedTakesTheOneAdapter_data()
{
    QTest::addColumn<QList<bool>>("usb");  // per listed line: a USB adapter, or a built-in UART
    QTest::addColumn<int>("chosen");        // the line opened; -1: none, the run refused
    QTest::addColumn<QStringList>("said"); // stderr, LINE1, LINE2: the lines' paths

    QTest::newRow("one adapter beside a built-in UART")
        << QList<bool>{false, true} << 1
        << QStringList{"kavri-flash: Using LINE2, the one USB serial adapter listed (no --port given)"};
    QTest::newRow("two adapters")
        << QList<bool>{true, true} << -1
        << QStringList{"kavri-flash: No --port given, and 2 USB serial adapters are listed:",
                       "  LINE1  adapter  USB 0403:6001", "  LINE2  adapter  USB 0403:6001",
                       "Choose one with --port NAME, or serve them all with --all-ports"};
    QTest::newRow("built-in UARTs only")
        << QList<bool>{false, false} << -1
        << QStringList{"kavri-flash: No --port given, and no USB serial adapter listed; the ports are:",
                       "  LINE1  built-in", "  LINE2  built-in", "Name the device's port with --port NAME"};
    QTest::newRow("no port") << QList<bool>() << -1
                             << QStringList{"kavri-flash: No --port given, and no serial port is listed",
                                            "Name the device's port with --port NAME"};
}

// Without a port named, a run never guesses: the one USB adapter listed is
// taken, named and flashed; any other case is bad usage that lists the
// candidates, and no device is touched.
void TestFlashRun::noPortNamedTakesTheOneAdapter()
{
    QFETCH(QList<bool>, usb);
    QFETCH(int, chosen);
    QFETCH(QStringList, said);
    QTemporaryDir dir;
    const QByteArray firmware = patterned(100);
    std::vector<std::unique_ptr<SimulatedDevice>> devices;
    QList<PortInfo> listed;
    for (const bool adapter : usb) {
        devices.push_back(std::make_unique<SimulatedDevice>(DeviceSimulator::Settings()));
        QVERIFY(devices.back()->openForHost()); // announces itself to any host that opens it
        listed.append({devices.back()->slavePath(), adapter ? "adapter" : "built-in", {}, {},
                       quint16(adapter ? 0x0403 : 0), quint16(adapter ? 0x6001 : 0)});
        said.replaceInStrings(QStringLiteral("LINE%1").arg(devices.size()), devices.back()->slavePath());
    }
    FlashOptions options;
    options.firmwarePath = writeFirmware(dir, firmware);
    std::FILE *out = std::tmpfile();
    std::FILE *err = std::tmpfile();
    FlashConsole console(FlashConsole::Verbosity::Quiet, false, false, out, err);
    FlashRun run(options, console, [&listed] { return listed; });
    QSignalSpy finished(&run, &FlashRun::finished);

    QCOMPARE(run.begin(), chosen >= 0);
    if (chosen >= 0)
        QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(run.exitCode(), chosen >= 0 ? 0 : 2);
    for (size_t i = 0; i < devices.size(); ++i)
        QCOMPARE(devices[i]->simulator().devices().value(0).image.left(firmware.size()),
                 int(i) == chosen ? firmware : QByteArray());
    std::rewind(err);
    char text[2048] = {};
    const QString written = QString::fromLocal8Bit(text, int(std::fread(text, 1, sizeof text - 1, err)));
    QCOMPARE(written, said.join(u'\n') + u'\n');
    std::fclose(out);
    std::fclose(err);
}

void TestFlashRun::matchReadsEveryDetail_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("usb");
    QTest::addColumn<bool>("matches");
    QTest::newRow("name") << "USB3" << true << true;
    QTest::newRow("description") << "serial converter" << true << true;
    QTest::newRow("manufacturer") << "ftdi" << true << true;
    QTest::newRow("serial number") << "A10K3F" << true << true;
    QTest::newRow("VID:PID") << "0403:6001" << true << true;
    QTest::newRow("another adapter") << "10c4:ea60" << true << false;
    QTest::newRow("no USB identity") << "0000" << false << false;
}

void TestFlashRun::matchReadsEveryDetail()
{
    QFETCH(QString, text);
    QFETCH(bool, usb);
    QFETCH(bool, matches);
    const PortInfo adapter{"ttyUSB3", "USB Serial Converter", "FTDI", "A10K3F", quint16(usb ? 0x0403 : 0),
                           quint16(usb ? 0x6001 : 0)};
    QCOMPARE(FlashRun::matches(adapter, text), matches);
}

void TestFlashRun::progressLayout_data()
{
    QTest::addColumn<bool>("severalPorts");
    QTest::addColumn<bool>("terminal");
    QTest::addColumn<QString>("expected"); // the line for 2048 of 8192 bytes after 0.5 s, or the plain lines

    QTest::newRow("one port, terminal")
        << false << true << "[#######.......................]  25% 2048/8192 B 2.0 kB/s 0:04 left";
    QTest::newRow("several ports, terminal")
        << true << true << "ttyUSB1      0A1B2C3D4E5F6071 [#######.......................]  25% 2048/8192 B 2.0 kB/s 0:04 left";
    QTest::newRow("one port, plain")
        << false << false << "Progress: 25% (2048 of 8192 bytes)\nProgress: 100% (8192 of 8192 bytes)\n";
    QTest::newRow("several ports, plain")
        << true << false << "ttyUSB1: Progress: 25% (2048 of 8192 bytes)\nttyUSB1: Progress: 100% (8192 of 8192 bytes)\n";
}

void TestFlashRun::progressLayout()
{
    QFETCH(bool, severalPorts);
    QFETCH(bool, terminal);
    QFETCH(QString, expected);
    std::FILE *out = std::tmpfile();
    std::FILE *err = std::tmpfile();
    FlashConsole console(FlashConsole::Verbosity::Quiet, severalPorts, terminal, out, err);
    console.identified("ttyUSB1", QByteArray::fromHex("0A1B2C3D4E5F6071EEEE0302FFFFFFFF"));
    if (terminal) {
        QCOMPARE(console.progressLine("ttyUSB1", 2048, 8192, 0.5), expected);
    } else {
        FlashConsole plain(FlashConsole::Verbosity::Normal, severalPorts, false, out, err);
        for (const quint64 sent : {quint64(0), quint64(1024), quint64(2048), quint64(3000), quint64(8192)})
            plain.progress("ttyUSB1", sent, 8192, 0.5);
        std::rewind(out);
        char text[512] = {};
        QCOMPARE(QString::fromLatin1(text, int(std::fread(text, 1, sizeof text - 1, out))), expected);
    }
    std::fclose(out);
    std::fclose(err);
}

QTEST_GUILESS_MAIN(TestFlashRun)
#include "tst_flashrun.moc"
