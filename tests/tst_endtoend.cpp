#include "dialogentry.h"
#include "kavriupdate.h"
#include "simulateddevice.h"
#include "ptyline.h"
#include "testdata.h"
#include "toolprocess.h"

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>
#include <unistd.h>

using State = TransferProtocol::State;

namespace {

DeviceSimulator::Settings deviceSettings()
{
    DeviceSimulator::Settings settings;
    settings.uid = QByteArray::fromHex("0A1B2C3D4E5F6071");
    settings.versionMajor = 2;
    settings.versionMinor = 3;
    return settings;
}

// The dialog on the slave side of a pseudo-terminal, the simulated device on
// its master side: the whole path a real cable would take.
class Bench
{
public:
    explicit Bench(const DeviceSimulator::Settings &settings, const QByteArray &firmware,
                   int spareDevices = 0)
        : device(settings)
    {
        if (!device.open()) {
            problem = device.errorString();
            return;
        }
        for (int i = 0; i < spareDevices; ++i) {
            spares.append(new SimulatedDevice(deviceSettings())); // without faults
            if (!spares.last()->open())
                problem = spares.last()->errorString();
        }
        QStringList names{listedName(device)};
        for (const SimulatedDevice *spare : std::as_const(spares))
            names.append(listedName(*spare));
        dialog.reset(new kavriUpdate(nullptr, [names] {
            QList<PortInfo> ports;
            for (const QString &name : names)
                ports.append({name, {}, {}, {}, 0, 0});
            return ports;
        }));
        if (!writeFirmware(firmware))
            problem = QStringLiteral("cannot write the firmware");
        dialog->setFileChooser([path = dir.filePath("app.kvf")](QWidget *, const QString &,
                                                                const QString &, const QString &) {
            return path;
        });
    }
    ~Bench() { qDeleteAll(spares); }

    // "pts/7": the dialog opens it as /dev/pts/7, as it would /dev/ttyUSB0.
    static QString listedName(const SimulatedDevice &pty) { return pty.slavePath().mid(5); }

    // Written as a build writes it: a new file renamed over the old one.
    bool writeFirmware(const QByteArray &firmware)
    {
        QSaveFile file(dir.filePath("app.kvf"));
        return file.open(QIODevice::WriteOnly) && file.write(firmware) == firmware.size() && file.commit();
    }

    QString status() const { return dialog->findChild<QLabel *>("labelStatusBar")->text(); }
    int progress() const { return dialog->findChild<QProgressBar *>("progressBarDownload")->value(); }
    void press(const char *name) { dialog->findChild<QPushButton *>(name)->click(); }
    State state() const { return dialog->findChild<SerialTransfer *>()->state(); }
    QByteArray image(int deviceIndex) const
    {
        return device.simulator().devices().value(deviceIndex).image;
    }

    QString problem; // why the bench could not be set up; empty when it is ready
    QTemporaryDir dir;
    SimulatedDevice device;
    QList<SimulatedDevice *> spares;
    std::unique_ptr<kavriUpdate> dialog;
};

qint64 processCpuMicroseconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000
        + usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
}

const QString identityText = QStringLiteral("UID: 0A 1B 2C 3D 4E 5F 60 71 V2.3");

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void flash_data();
    void flash();
    void nextDevice_data();
    void nextDevice();
    void downloadPressedWhileTransferring();
    void fileUsesTheSelectedPort();
    void flashesTheSimulatorNamedByPort();
    void cancel();
    void lostPortReturnsToIdle_data();
    void lostPortReturnsToIdle();
    void lineSettings();
    void partialIdentityThenUnplugged();
    void outOfStepIsShown();
    void longBurstIsAnsweredInFull();
    void busyPortIsReported();
    void lowLatencyAskedAndPutBack_data();
    void lowLatencyAskedAndPutBack();
    void firmwareReadAtTheStart_data();
    void firmwareReadAtTheStart();
};

void TestEndToEnd::flash_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("nakBlocks");
    QTest::addColumn<int>("noiseBytes");
    QTest::addColumn<QString>("incident");

    QTest::newRow("1 byte") << 1 << QList<int>() << 0 << "";
    QTest::newRow("2048 bytes") << 2048 << QList<int>() << 0 << "";
    QTest::newRow("100 KiB and a bit") << 100 * 1024 + 517 << QList<int>() << 0 << "";
    QTest::newRow("repeated NAKs") << 9000 << QList<int>{1, 2, 5, 9} << 0 << "";
    QTest::newRow("garbage before the announcement") << 3000 << QList<int>() << 3000 << "";
    // A build rewrites the file in place while it goes out: the device still
    // gets the file as it was when its transfer started.
    QTest::newRow("truncated mid-transfer") << 100 * 1024 + 517 << QList<int>() << 0 << "truncated";
    // A failed press withdraws the start; the one that succeeds shows the waiting device again.
    QTest::newRow("after File is Vacant") << 2048 << QList<int>() << 0 << "vacant";
}

void TestEndToEnd::flash()
{
    QFETCH(int, size);
    QFETCH(QList<int>, nakBlocks);
    QFETCH(int, noiseBytes);
    QFETCH(QString, incident);

    DeviceSimulator::Settings settings = deviceSettings();
    settings.nakBlocks = QSet<int>(nakBlocks.begin(), nakBlocks.end());
    settings.noiseBytes = noiseBytes;
    const QByteArray firmware = patterned(size);
    Bench bench(settings, firmware);
    QVERIFY2(bench.problem.isEmpty(), qPrintable(bench.problem));

    bench.press("pushButtonOK");
    QVERIFY2(bench.status().endsWith("app.kvf"), qPrintable(bench.status()));
    bench.device.start();
    QTRY_COMPARE(bench.status(), identityText);
    if (incident == "vacant") {
        bench.device.setPollInterval(60000); // no poll starts the armed download meanwhile
        bench.press("pushButtonDownload");
        QCOMPARE(bench.state(), State::StartPending);
        QVERIFY(QFile::remove(bench.dir.filePath("app.kvf")));
        bench.press("pushButtonDownload");
        QCOMPARE(bench.status(), QStringLiteral("File is Vacant"));
        QCOMPARE(bench.state(), State::AwaitingStart); // the start is withdrawn
        QVERIFY(bench.writeFirmware(firmware));
        bench.device.setPollInterval(20);
    }
    if (incident == "truncated") {
        QObject::connect(bench.dialog->findChild<SerialTransfer *>(), &SerialTransfer::progressChanged,
                         bench.dialog.get(), [&bench](int percent) {
                             QFile inPlace(bench.dir.filePath("app.kvf"));
                             if (percent == 20)
                                 QVERIFY(inPlace.open(QIODevice::WriteOnly) && inPlace.write(patterned(10000)));
                         });
    }

    bench.press("pushButtonDownload");
    if (incident == "vacant")
        QCOMPARE(bench.status(), identityText);
    QTRY_COMPARE(bench.status(), QStringLiteral("Download OK"));
    QCOMPARE(bench.progress(), 100);
    QCOMPARE(bench.image(0), padded(firmware));
    QCOMPARE(bench.device.simulator().naksSent(), int(nakBlocks.size()));
    QCOMPARE(bench.state(), State::Idle);
}

void TestEndToEnd::nextDevice_data()
{
    QTest::addColumn<bool>("rebuild");
    QTest::newRow("same file") << false;
    QTest::newRow("file rebuilt under the same name") << true;
}

void TestEndToEnd::nextDevice()
{
    QFETCH(bool, rebuild);
    DeviceSimulator::Settings settings = deviceSettings();
    settings.deviceCount = 2;
    const QByteArray firmware = patterned(5000);
    Bench bench(settings, firmware);
    QVERIFY2(bench.problem.isEmpty(), qPrintable(bench.problem));
    bench.press("pushButtonOK");
    bench.device.start();

    QTRY_COMPARE(bench.status(), identityText);
    // The next device announces itself at once, so "Download OK" may show
    // too briefly to be seen: the outcome is taken from the signal.
    QSignalSpy outcomes(bench.dialog->findChild<SerialTransfer *>(), &SerialTransfer::downloadEnded);
    bench.press("pushButtonDownload");
    QTRY_COMPARE(outcomes.count(), 1);
    QCOMPARE(outcomes.first().first().value<TransferResult>(), TransferResult::Ok);

    const QByteArray second = rebuild ? patterned(3000).toUpper() + "v2" : firmware;
    if (rebuild)
        QVERIFY(bench.writeFirmware(second));
    QTRY_COMPARE(bench.status(), QStringLiteral("UID: 0A 1B 2C 3D 4E 5F 60 72 V2.3"));
    bench.press("pushButtonDownload");
    QTRY_COMPARE(bench.status(), QStringLiteral("Download OK"));
    QCOMPARE(bench.image(0), padded(firmware));
    QCOMPARE(bench.image(1), padded(second));
}

void TestEndToEnd::downloadPressedWhileTransferring()
{
    const QByteArray firmware = patterned(30000);
    Bench bench(deviceSettings(), firmware);
    QVERIFY2(bench.problem.isEmpty(), qPrintable(bench.problem));
    bench.press("pushButtonOK");
    bench.device.start();
    QTRY_COMPARE(bench.status(), identityText);

    int presses = 0;
    QObject::connect(bench.dialog->findChild<SerialTransfer *>(), &SerialTransfer::progressChanged,
                     bench.dialog.get(), [&bench, &presses](int percent) {
                         if (percent > 0 && percent < 100 && presses < 3) {
                             ++presses;
                             bench.press("pushButtonDownload");
                         }
                     });
    bench.press("pushButtonDownload");
    QTRY_COMPARE(bench.status(), QStringLiteral("Download OK"));
    QCOMPARE(presses, 3);
    QCOMPARE(bench.image(0), padded(firmware));
}

void TestEndToEnd::fileUsesTheSelectedPort()
{
    const QByteArray firmware = patterned(1500);
    Bench bench(deviceSettings(), firmware, 1);
    QVERIFY2(bench.problem.isEmpty(), qPrintable(bench.problem));
    auto combo = bench.dialog->findChild<QComboBox *>("comboBoxPort");
    combo->setCurrentIndex(1);
    bench.press("pushButtonOK");
    combo->setCurrentIndex(0);
    bench.press("pushButtonOK");
    bench.press("pushButtonOK"); // pressing File again on the same port is harmless
    bench.device.start();
    QTRY_COMPARE(bench.status(), identityText);
    bench.press("pushButtonDownload");
    QTRY_COMPARE(bench.status(), QStringLiteral("Download OK"));
    QCOMPARE(bench.image(0), padded(firmware));
}

// What the README's "without hardware" does: kavriUpdate --port with the
// pseudo-terminal kavri-devsim printed, flashed from the dialog.
void TestEndToEnd::flashesTheSimulatorNamedByPort()
{
    QTemporaryDir dir;
    const QByteArray firmware = patterned(3000);
    QVERIFY(writeFile(dir.filePath("app.kvf"), firmware));
    LineProcess simulator(QStringLiteral(KAVRI_DEVSIM));
    QVERIFY(simulator.start({"--uid", "0A1B2C3D4E5F6071", "--device-version", "2.3", "--out", dir.filePath("got.kvf")}));
    DialogCommandLine commandLine;
    QVERIFY(commandLine.read({"kavriUpdate", "--port", simulator.path}));
    kavriUpdate dialog(nullptr, commandLine.portSource());
    dialog.setFileChooser([&dir](QWidget *, const QString &, const QString &, const QString &) {
        return dir.filePath("app.kvf");
    });
    const auto status = [&dialog] { return dialog.findChild<QLabel *>("labelStatusBar")->text(); };

    dialog.findChild<QPushButton *>("pushButtonOK")->click();
    QTRY_COMPARE(status(), identityText);
    dialog.findChild<QPushButton *>("pushButtonDownload")->click();
    QTRY_COMPARE(status(), QStringLiteral("Download OK"));
    QCOMPARE(simulator.finish().exitCode, 0);
    QCOMPARE(readFile(dir.filePath("got.kvf")), padded(firmware));
}

void TestEndToEnd::cancel()
{
    DeviceSimulator::Settings settings = deviceSettings();
    settings.cancelAtBlock = 3;
    Bench bench(settings, patterned(10000));
    QVERIFY2(bench.problem.isEmpty(), qPrintable(bench.problem));
    bench.press("pushButtonOK");
    bench.device.start();
    QTRY_COMPARE(bench.status(), identityText);
    bench.press("pushButtonDownload");
    QTRY_COMPARE(bench.status(), QStringLiteral("DOWNLOAD CANCELED"));
    QCOMPARE(bench.state(), State::Idle);
    QCOMPARE(bench.progress(), 30);
}

void TestEndToEnd::lostPortReturnsToIdle_data()
{
    QTest::addColumn<State>("lostIn");
    QTest::newRow("Idle") << State::Idle;
    QTest::newRow("AwaitingStart") << State::AwaitingStart;
    QTest::newRow("StartPending") << State::StartPending;
    QTest::newRow("Transferring") << State::Transferring;
}

void TestEndToEnd::lostPortReturnsToIdle()
{
    QFETCH(State, lostIn);
    DeviceSimulator::Settings settings = deviceSettings();
    settings.unplugAtBlock = lostIn == State::Transferring ? 3 : 0;
    const QByteArray firmware = patterned(20000);
    Bench bench(settings, firmware, 1);
    QVERIFY2(bench.problem.isEmpty(), qPrintable(bench.problem));
    if (lostIn == State::StartPending)
        bench.device.setPollInterval(60000); // no byte comes to start the transfer
    bench.press("pushButtonOK");
    if (lostIn != State::Idle) {
        bench.device.start();
        QTRY_COMPARE(bench.status(), identityText);
    }
    if (lostIn == State::StartPending || lostIn == State::Transferring)
        bench.press("pushButtonDownload");
    if (lostIn != State::Transferring) {
        QCOMPARE(bench.state(), lostIn);
        bench.device.hangUp();
    }

    const QString lost = "Port " + Bench::listedName(bench.device) + " lost (unplugged?)";
    QTRY_VERIFY2(bench.status().startsWith(lost), qPrintable(bench.status()));
    QCOMPARE(bench.state(), State::Idle);
    // A hung-up port left open floods the loop with errors at full CPU.
    const qint64 busyBefore = processCpuMicroseconds();
    QTest::qWait(200);
    QCOMPARE_LT(processCpuMicroseconds() - busyBefore, 50000);

    // The next device, on another port, is served without a restart.
    bench.dialog->findChild<QComboBox *>("comboBoxPort")->setCurrentIndex(1);
    bench.press("pushButtonOK");
    SimulatedDevice &next = *bench.spares.first();
    next.start();
    QTRY_COMPARE(bench.status(), identityText);
    bench.press("pushButtonDownload");
    QTRY_COMPARE(bench.status(), QStringLiteral("Download OK"));
    QCOMPARE(next.simulator().devices().value(0).image, padded(firmware));
}

std::unique_ptr<kavriUpdate> dialogOn(const QString &portPath,
                                      const QString &firmwarePath = QStringLiteral("/nonexistent/app.kvf"))
{
    auto dialog = std::make_unique<kavriUpdate>(nullptr, [portPath] {
        return QList<PortInfo>{{portPath, {}, {}, {}, 0, 0}};
    });
    dialog->setFileChooser([firmwarePath](QWidget *, const QString &, const QString &, const QString &) {
        return firmwarePath;
    });
    return dialog;
}

void TestEndToEnd::lineSettings()
{
    PtyLine line;
    auto dialog = dialogOn(line.path);
    dialog->findChild<QPushButton *>("pushButtonOK")->click();
    QVERIFY(line.wasOpened());
    QCOMPARE(line.settingsProblem(), QString());
}

void TestEndToEnd::partialIdentityThenUnplugged()
{
    PtyLine line;
    auto dialog = dialogOn(line.path);
    dialog->findChild<QPushButton *>("pushButtonOK")->click();
    auto status = dialog->findChild<QLabel *>("labelStatusBar");
    const QString before = status->text();
    QVERIFY(line.sendAfterSilence(QByteArray::fromHex("030A1B2C3D4E"))); // the announcement and 5 of its 16 bytes
    QTest::qWait(60); // the rest never comes: a record cut off is never shown
    QCOMPARE(status->text(), before);
    QCOMPARE(line.received(), QByteArray());
    QCOMPARE(dialog->findChild<SerialTransfer *>()->state(), State::Idle);

    line.hangUp();
    QTRY_VERIFY2(status->text().contains(" lost (unplugged?)"), qPrintable(status->text()));
    QCOMPARE(dialog->findChild<SerialTransfer *>()->state(), State::Idle);
}

// A device that lost frame 1 and polls once it is across: the dialog says
// so and stops, where it would otherwise send frame 2 as block 1.
void TestEndToEnd::outOfStepIsShown()
{
    QTemporaryDir dir;
    const QString firmwarePath = dir.filePath(QStringLiteral("app.kvf"));
    QFile firmware(firmwarePath);
    QVERIFY(firmware.open(QIODevice::WriteOnly) && firmware.write(patterned(3000)) == 3000);
    firmware.close();
    PtyLine line;
    auto dialog = dialogOn(line.path, firmwarePath);
    dialog->findChild<QPushButton *>("pushButtonOK")->click();
    QVERIFY(line.sendAfterSilence(Wire::announcement()));
    QCOMPARE(line.receive(Wire::greetingLength).size(), Wire::greetingLength);
    dialog->findChild<QPushButton *>("pushButtonDownload")->click();
    QVERIFY(line.send(QByteArray("C") + Wire::ACK));
    QCOMPARE(line.receive(Wire::frameLength).size(), Wire::frameLength);
    QTest::qWait(150);
    QVERIFY(line.send("C"));
    QTRY_COMPARE(dialog->findChild<QLabel *>("labelStatusBar")->text(),
                 QStringLiteral("Device out of step at block 1: stopped"));
    QVERIFY(line.send(QByteArray(1, Wire::ACK)));
    QCOMPARE(line.receive(1, 200), QByteArray()); // frame 2 never goes out
}

void TestEndToEnd::longBurstIsAnsweredInFull()
{
    PtyLine line;
    auto dialog = dialogOn(line.path);
    dialog->findChild<QPushButton *>("pushButtonOK")->click();
    const QByteArray identity = QByteArray::fromHex("0A1B2C3D4E5F6071EEEE0302FFFFFFFF");
    QVERIFY(line.sendAfterSilence(Wire::ETX + identity + QByteArray(3000, 'p')));

    QByteArray replies;
    QTRY_VERIFY((replies += line.received()).size() >= Wire::greetingLength + 3000);
    QTest::qWait(50);
    replies += line.received();
    QCOMPARE(replies, QByteArray(Wire::greetingLength + 3000, Wire::ETX));
}

void TestEndToEnd::busyPortIsReported()
{
    SimulatedDevice device(deviceSettings());
    QVERIFY(device.open());
    QSerialPort holder(device.slavePath());
    QVERIFY(holder.open(QIODevice::ReadWrite));

    auto dialog = dialogOn(device.slavePath());
    dialog->findChild<QPushButton *>("pushButtonOK")->click();
    const QString status = dialog->findChild<QLabel *>("labelStatusBar")->text();
    QVERIFY2(status.startsWith("Cannot open " + device.slavePath() + ": "), qPrintable(status));
}

void TestEndToEnd::lowLatencyAskedAndPutBack_data()
{
    QTest::addColumn<bool>("alreadyOn");
    QTest::addColumn<int>("presses"); // of File, on the same port
    QTest::addColumn<QStringList>("expectedCalls");
    QTest::newRow("flag off") << false << 1 << QStringList{"read", "set 1", "set 0"};
    QTest::newRow("flag already on") << true << 1 << QStringList{"read"}; // left as it was found
    // The port is closed before it is opened again, the flag put back first.
    QTest::newRow("File pressed twice")
        << false << 2 << QStringList{"read", "set 1", "set 0", "read", "set 1", "set 0"};
}

// A pseudo-terminal has no latency flag, so the driver's stands in for it.
void TestEndToEnd::lowLatencyAskedAndPutBack()
{
    QFETCH(bool, alreadyOn);
    QFETCH(int, presses);
    QFETCH(QStringList, expectedCalls);
    Bench bench(deviceSettings(), patterned(100));
    QVERIFY2(bench.problem.isEmpty(), qPrintable(bench.problem));
    QStringList calls;
    bool flag = alreadyOn;
    bench.dialog->findChild<SerialTransfer *>()->setLatencyControl([&](QSerialPort &, bool write, bool &on) {
        calls.append(write ? QStringLiteral("set %1").arg(on) : QStringLiteral("read"));
        if (write)
            flag = on;
        on = flag;
        return QString();
    });
    for (int i = 0; i < presses; ++i) {
        bench.press("pushButtonOK");
        QCOMPARE(flag, true);
    }
    bench.dialog.reset();
    QCOMPARE(flag, alreadyOn);
    QCOMPARE(calls, expectedCalls);
}

void TestEndToEnd::firmwareReadAtTheStart_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("midway"); // else between Download and the start byte
    QTest::addColumn<TransferResult>("result");
    QTest::addColumn<int>("sentSeed"); // of the image the device gets

    const auto row = [](const char *change, bool midway, TransferResult result, int sentSeed) {
        QTest::addRow("%s %s", change, midway ? "midway" : "before the start")
            << QString::fromLatin1(change) << midway << result << sentSeed;
    };
    row("unchanged", false, TransferResult::Ok, 1);
    row("renamed over", false, TransferResult::Ok, 1); // the open file is sent
    row("deleted", false, TransferResult::Ok, 1);
    row("rewritten in place", false, TransferResult::Ok, 2);
    row("truncated", false, TransferResult::FirmwareChanged, 0);
    row("appended to", false, TransferResult::FirmwareChanged, 0);
    row("unreadable", false, TransferResult::FirmwareUnreadable, 0);
    // Taken whole at the start: a build that rewrites it mixes nothing in.
    row("rewritten in place", true, TransferResult::Ok, 1);
    row("truncated", true, TransferResult::Ok, 1);
}

// The driver on its own, with a device played by hand.
void TestEndToEnd::firmwareReadAtTheStart()
{
    QFETCH(QString, change);
    QFETCH(bool, midway);
    QFETCH(TransferResult, result);
    QFETCH(int, sentSeed);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("app.kvf"));
    const int size = 3 * 1024 + 100;
    const auto writeFile = [](const QString &name, const QByteArray &bytes, QIODevice::OpenMode mode) {
        QFile out(name);
        QVERIFY(out.open(mode) && out.write(bytes) == bytes.size());
    };
    writeFile(path, patterned(size, 1), QIODevice::WriteOnly);
    FirmwareFile firmware;
    QCOMPARE(firmware.open(path), QString());
    const auto changeFile = [&] {
        if (change == "renamed over") {
            writeFile(path + ".new", patterned(size, 2), QIODevice::WriteOnly);
            QVERIFY(QFile::remove(path) && QFile::rename(path + ".new", path));
        } else if (change == "deleted") {
            QVERIFY(QFile::remove(path));
        } else if (change == "rewritten in place") {
            writeFile(path, patterned(size, 2), QIODevice::WriteOnly);
        } else if (change == "truncated") {
            writeFile(path, patterned(100, 2), QIODevice::WriteOnly | QIODevice::Truncate);
        } else if (change == "appended to") {
            writeFile(path, patterned(100, 2), QIODevice::Append);
        }
    };

    PtyLine line;
    QSerialPort port;
    SerialTransfer transfer(port);
    QCOMPARE(transfer.open(line.path), QString());
    QSignalSpy ended(&transfer, &SerialTransfer::downloadEnded);
    QVERIFY(line.sendAfterSilence(Wire::announcement()));
    QCOMPARE(line.receive(Wire::greetingLength), QByteArray(Wire::greetingLength, Wire::ETX));
    // A read error cannot be made on demand: the source reports one instead.
    transfer.requestDownload([&](QByteArray &image) {
        return change == "unreadable" ? TransferResult::FirmwareUnreadable : firmware.read(image);
    });
    if (!midway)
        changeFile();
    QByteArray sent;
    QVERIFY(line.send(QByteArray("C") + Wire::ACK));
    for (int block = 0; block < 4 && result == TransferResult::Ok; ++block) {
        sent += line.receive(Wire::frameLength);
        if (midway && block == 0)
            changeFile();
        QVERIFY(line.send(QByteArray(1, Wire::ACK)));
    }
    QTRY_COMPARE(ended.count(), 1);
    QCOMPARE(ended.first().first().value<TransferResult>(), result);
    sent += line.receive(result == TransferResult::Ok ? 1 : 0, 50);
    QByteArray expected;
    const QByteArray image = patterned(size, sentSeed);
    for (int block = 0; block < 4 && sentSeed; ++block)
        expected += Wire::frame(image, block);
    QCOMPARE(sent, sentSeed ? expected + Wire::EOT : QByteArray());
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
