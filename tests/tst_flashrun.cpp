// kavri-flash's run in-process: many ports at once over pseudo-terminals,
// with the simulated devices on their far ends.

#include "flashconsole.h"
#include "flashjson.h"
#include "flashrun.h"
#include "ptydevice.h"
#include "testdata.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <memory>

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

} // namespace

class TestFlashRun : public QObject
{
    Q_OBJECT

private slots:
    void portsServedAtOnce();
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

    DeviceSimulator::Settings cancels, unplugged, completes;
    cancels.cancelAtBlock = 3;
    unplugged.unplugAtBlock = 2;
    std::vector<std::unique_ptr<PtyDevice>> devices;
    for (const DeviceSimulator::Settings &settings : {cancels, unplugged, completes, completes, completes}) {
        devices.push_back(std::make_unique<PtyDevice>(settings));
        // Each announces itself once the host opens its line; the stalled one never does.
        QVERIFY(devices.size() == 4 ? devices.back()->open() : devices.back()->openForHost());
    }
    PtyDevice &modem = *devices[4];
    bool lateSlotListed = false;
    const PortSource source = [&] {
        QList<PortInfo> ports;
        for (const auto &device : devices) {
            if (device.get() == devices[2].get() && !lateSlotListed)
                continue;
            const bool isModem = device.get() == &modem;
            ports.append({device->slavePath(), isModem ? "modem" : "bench fixture", {}, {}, 0, 0});
        }
        return ports;
    };

    FlashOptions options;
    options.port.firmwarePath = file.fileName();
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
    QTest::qWait(1500); // the list is read again: the lost slot, still listed, stays dropped
    run.interrupt(QStringLiteral("SIGTERM"));
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(finished.first().first().toInt(), 130);

    const QList<QJsonObject> lines = jsonLines(out);
    QMap<QString, QJsonObject> results;
    for (const QJsonObject &result : events(lines, "result"))
        results.insert(result.value("port").toString(), result);
    QCOMPARE(results.value(devices[0]->slavePath()).value("result").toString(), QStringLiteral("canceled"));
    QCOMPARE(results.value(devices[1]->slavePath()).value("result").toString(), QStringLiteral("port-lost"));
    const QJsonObject ok = results.value(devices[2]->slavePath());
    QCOMPARE(ok.value("result").toString(), QStringLiteral("ok"));
    QCOMPARE(ok.value("bytes").toInteger(), firmware.size());
    QCOMPARE(ok.value("sha256").toString(),
             QString::fromLatin1(QCryptographicHash::hash(firmware, QCryptographicHash::Sha256).toHex()));
    QCOMPARE(devices[2]->simulator().devices().value(0).image.left(firmware.size()), firmware);
    QCOMPARE(events(lines, "opened").size(), 4);
    QCOMPARE(events(lines, "lost").size(), 1);
    QCOMPARE(events(lines, "summary").size(), 1);
    QCOMPARE(events(lines, "summary").first().value("exit").toInt(), 130);
    std::rewind(err);
    char problem[512];
    QStringList problems;
    while (std::fgets(problem, sizeof problem, err))
        problems.append(QString::fromLocal8Bit(problem).section(u' ', 1, 3));
    QCOMPARE(problems, (QStringList{"Port " + devices[1]->slavePath() + " lost", devices[3]->slavePath() + ": Stopped by"}));
    std::fclose(out);
    std::fclose(err);
}

void TestFlashRun::matchReadsEveryDetail_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("matches");
    QTest::newRow("name") << "USB3" << true;
    QTest::newRow("description") << "serial converter" << true;
    QTest::newRow("manufacturer") << "ftdi" << true;
    QTest::newRow("serial number") << "A10K3F" << true;
    QTest::newRow("VID:PID") << "0403:6001" << true;
    QTest::newRow("another adapter") << "10c4:ea60" << false;
}

void TestFlashRun::matchReadsEveryDetail()
{
    QFETCH(QString, text);
    QFETCH(bool, matches);
    const PortInfo adapter{"ttyUSB3", "USB Serial Converter", "FTDI", "A10K3F", 0x0403, 0x6001};
    QCOMPARE(FlashRun::matches(adapter, text), matches);
}

void TestFlashRun::progressLayout_data()
{
    QTest::addColumn<bool>("severalPorts");
    QTest::addColumn<bool>("terminal");
    QTest::addColumn<QString>("expected"); // the line for 2048 of 8192 bytes after 0.5 s, or the plain lines

    QTest::newRow("one port, terminal")
        << false << true << "[#######.......................]  25% 2048/8192 B 4.1 kB/s 0:02 left";
    QTest::newRow("several ports, terminal")
        << true << true << "ttyUSB1      0A1B2C3D4E5F6071 [#######.......................]  25% 2048/8192 B 4.1 kB/s 0:02 left";
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
