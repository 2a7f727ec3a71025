// kavri-devsim: the simulated device, on a pseudo-terminal or a real serial
// port, for running kavri-flash or the dialog without hardware.

#include "commandline.h"
#include "ptydevice.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

namespace {

constexpr int NoiseBytes = 64;
constexpr int HostCloseWaitMs = 2000;

void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Plays the device end of the flashing protocol. With --pty (the default) it creates a\n"
        "pseudo-terminal, prints its path as the first line and announces the first device once\n"
        "a host opens that path. With --port it announces at once, so start the host first.\n"
        "--devices counts devices that complete or cancel: one unplugged and replugged (see\n"
        "--replug-after) is replaced by one more.\n"
        "After the last device it keeps the line up until the host closes it (at most 2 s), then\n"
        "prints a summary: devices, blocks, bad frames, NAKs sent, the host's turnaround (from\n"
        "its request to the next frame; p50, p99, max) and the payload rate."));
    parser.addOptions({
        {QStringLiteral("pty"), QStringLiteral("Create a pseudo-terminal for the host (default).")},
        {QStringLiteral("port"), QStringLiteral("Use the serial port at PATH instead."), QStringLiteral("PATH")},
        {QStringLiteral("uid"), QStringLiteral("UID of the first device, 16 hex digits; each further device adds 1 to its last byte."),
         QStringLiteral("HEX16"), QStringLiteral("4B41565249000001")},
        {QStringLiteral("version"), QStringLiteral("Firmware version the devices announce."),
         QStringLiteral("MAJ.MIN"), QStringLiteral("1.0")},
        {QStringLiteral("devices"), QStringLiteral("Devices that complete or cancel, one after another."),
         QStringLiteral("N"), QStringLiteral("1")},
        {QStringLiteral("out"), QStringLiteral("Write the image each device received to FILE as it finishes; "
                                               "%n in FILE becomes the device's number, else each overwrites the last."),
         QStringLiteral("FILE")},
        {QStringLiteral("nak-every"), QStringLiteral("Refuse every K-th block once."), QStringLiteral("K"), QStringLiteral("0")},
        {QStringLiteral("nak-rate"), QStringLiteral("Refuse any good block with probability P."), QStringLiteral("P"),
         QStringLiteral("0")},
        {QStringLiteral("cancel-at"), QStringLiteral("Cancel when BLOCK (1-based) arrives."), QStringLiteral("BLOCK"),
         QStringLiteral("0")},
        {QStringLiteral("cancel-every"), QStringLiteral("With --cancel-at: cancel only devices whose number is a multiple of K."),
         QStringLiteral("K"), QStringLiteral("1")},
        {QStringLiteral("unplug-at"), QStringLiteral("Close the line when BLOCK (1-based) arrives, once in a run; a host on a real port just hears nothing more."),
         QStringLiteral("BLOCK"),
         QStringLiteral("0")},
        {QStringLiteral("unplug-device"), QStringLiteral("With --unplug-at: unplug device N (default: the first to reach BLOCK)."),
         QStringLiteral("N"), QStringLiteral("0")},
        {QStringLiteral("replug-after"), QStringLiteral("With --unplug-at: plug in again after MS milliseconds, on a new pseudo-terminal "
                                                        "whose path is printed, and announce the next device there."),
         QStringLiteral("MS"), QStringLiteral("0")},
        {QStringLiteral("link"), QStringLiteral("Keep a symbolic link at PATH pointing at the current pseudo-terminal, as udev does "
                                                "for a USB adapter; it is gone while unplugged and at exit."),
         QStringLiteral("PATH")},
        {QStringLiteral("noise"), QStringLiteral("Send %1 bytes of garbage (never 0x03) before each announcement.").arg(NoiseBytes)},
        {QStringLiteral("seed"), QStringLiteral("Seed for random NAKs and noise."), QStringLiteral("S"), QStringLiteral("1")},
        {QStringLiteral("baud"), QStringLiteral("Pace the line as a real 8N1 line at RATE would be (default: as fast as it goes)."),
         QStringLiteral("RATE"), QStringLiteral("0")},
    });
}

bool readIdentity(const QCommandLineParser &parser, DeviceSimulator::Settings &settings)
{
    const QString uid = parser.value(QStringLiteral("uid"));
    if (!QRegularExpression(QStringLiteral("^[0-9A-Fa-f]{16}$")).match(uid).hasMatch()) {
        CommandLine::printError(QStringLiteral("--uid takes 16 hex digits, not \"%1\"").arg(uid));
        return false;
    }
    settings.uid = QByteArray::fromHex(uid.toLatin1());
    const QRegularExpressionMatch version =
        QRegularExpression(QStringLiteral("^(\\d{1,3})\\.(\\d{1,3})$")).match(parser.value(QStringLiteral("version")));
    if (!version.hasMatch() || version.captured(1).toInt() > 255 || version.captured(2).toInt() > 255) {
        CommandLine::printError(QStringLiteral("--version takes MAJ.MIN, each 0 to 255"));
        return false;
    }
    settings.versionMajor = quint8(version.captured(1).toInt());
    settings.versionMinor = quint8(version.captured(2).toInt());
    return true;
}

bool readFaults(const QCommandLineParser &parser, DeviceSimulator::Settings &settings)
{
    bool rateOk = false;
    settings.nakProbability = parser.value(QStringLiteral("nak-rate")).toDouble(&rateOk);
    if (!rateOk || settings.nakProbability < 0 || settings.nakProbability >= 1) {
        CommandLine::printError(QStringLiteral("--nak-rate takes a probability from 0 up to (not including) 1"));
        return false;
    }
    const auto nakEvery = CommandLine::integerValue(parser, QStringLiteral("nak-every"), 0, INT_MAX);
    const auto cancelAt = CommandLine::integerValue(parser, QStringLiteral("cancel-at"), 0, INT_MAX);
    const auto cancelEvery = CommandLine::integerValue(parser, QStringLiteral("cancel-every"), 1, INT_MAX);
    const auto unplugAt = CommandLine::integerValue(parser, QStringLiteral("unplug-at"), 0, INT_MAX);
    const auto unplugDevice = CommandLine::integerValue(parser, QStringLiteral("unplug-device"), 0, INT_MAX);
    const auto seed = CommandLine::integerValue(parser, QStringLiteral("seed"), 0, UINT_MAX);
    if (!nakEvery || !cancelAt || !cancelEvery || !unplugAt || !unplugDevice || !seed)
        return false;
    settings.nakEvery = int(*nakEvery);
    settings.cancelAtBlock = int(*cancelAt);
    settings.cancelEvery = int(*cancelEvery);
    settings.unplugAtBlock = int(*unplugAt);
    settings.unplugDevice = int(*unplugDevice);
    settings.replugAfterUnplug = parser.isSet(QStringLiteral("replug-after"));
    settings.seed = quint32(*seed);
    settings.noiseBytes = parser.isSet(QStringLiteral("noise")) ? NoiseBytes : 0;
    return true;
}

std::optional<DeviceSimulator::Settings> readSettings(const QCommandLineParser &parser)
{
    DeviceSimulator::Settings settings;
    const auto devices = CommandLine::integerValue(parser, QStringLiteral("devices"), 1, 1000000);
    if (!devices || !readIdentity(parser, settings) || !readFaults(parser, settings))
        return std::nullopt;
    settings.deviceCount = int(*devices);
    return settings;
}

QString outcomeName(DeviceSimulator::Outcome outcome)
{
    switch (outcome) {
    case DeviceSimulator::Outcome::Pending:
        return QStringLiteral("unfinished");
    case DeviceSimulator::Outcome::Completed:
        return QStringLiteral("completed");
    case DeviceSimulator::Outcome::Cancelled:
        return QStringLiteral("cancelled");
    case DeviceSimulator::Outcome::Unplugged:
        return QStringLiteral("unplugged");
    }
    return {};
}

void writeImage(const QString &pattern, int index, const QByteArray &image)
{
    QFile file(QString(pattern).replace(QStringLiteral("%n"), QString::number(index + 1)));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(image) != image.size())
        CommandLine::printError(QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString()));
}

void reportDevice(const PtyDevice &device, int index, const QString &outPattern)
{
    const DeviceSimulator::DeviceRecord &record = device.simulator().devices().at(index);
    CommandLine::printLine(QStringLiteral("Device %1 UID %2: %3, %4 blocks received")
              .arg(index + 1)
              .arg(QString::fromLatin1(record.uid.toHex().toUpper()), outcomeName(record.outcome))
              .arg(record.image.size() / DeviceSimulator::BlockSize));
    if (!outPattern.isEmpty())
        writeImage(outPattern, index, record.image);
}

// Nearest-rank percentile of sorted values, in microseconds.
qint64 percentileUs(const QList<qint64> &sortedNs, double fraction)
{
    const qsizetype rank = qsizetype(std::ceil(fraction * sortedNs.size()));
    return sortedNs.at(std::clamp<qsizetype>(rank - 1, 0, sortedNs.size() - 1)) / 1000;
}

void printTurnarounds(const PtyDevice &device)
{
    QList<qint64> sorted = device.turnaroundsNs();
    if (sorted.isEmpty()) {
        CommandLine::printLine(QStringLiteral("Host turnaround: no frames"));
        return;
    }
    std::sort(sorted.begin(), sorted.end());
    CommandLine::printLine(QStringLiteral("Host turnaround: p50 %1 µs, p99 %2 µs, max %3 µs (%4 frames)")
              .arg(percentileUs(sorted, 0.50)).arg(percentileUs(sorted, 0.99))
              .arg(sorted.last() / 1000).arg(sorted.size()));
}

void printPayloadRate(const PtyDevice &device, int baud)
{
    qint64 transferNs = 0;
    for (const qint64 ns : device.transferTimesNs())
        transferNs += ns;
    if (transferNs <= 0)
        return;
    const double rate = device.simulator().blocksReceived() * double(DeviceSimulator::BlockSize)
        / (transferNs / 1e9);
    QString line = QStringLiteral("Payload rate: %1 B/s over %2 s").arg(rate, 0, 'f', 1).arg(transferNs / 1e9, 0, 'f', 3);
    if (baud > 0) {
        // Each 1024 payload bytes ride in a 1027-byte frame of ten-bit bytes.
        const double ceiling = baud / 10.0 * DeviceSimulator::BlockSize / DeviceSimulator::FrameLength;
        line += QStringLiteral(", %1% of the %2 B/s ceiling at %3 baud")
                    .arg(100 * rate / ceiling, 0, 'f', 2).arg(ceiling, 0, 'f', 1).arg(baud);
    }
    CommandLine::printLine(line);
}

void printSummary(const PtyDevice &device, int baud)
{
    const DeviceSimulator &simulator = device.simulator();
    CommandLine::printLine(QStringLiteral("Devices: %1, blocks: %2, bad frames: %3, NAKs sent: %4")
              .arg(simulator.devices().size()).arg(simulator.blocksReceived())
              .arg(simulator.badFrames()).arg(simulator.naksSent()));
    printTurnarounds(device);
    printPayloadRate(device, baud);
}

// Ending the process hangs up the line, and a hang-up throws away whatever
// the host has not read yet, a final CAN say. So the line stays up until the
// host closes it, as a device left plugged in would, though not for long.
void exitOnceHostLetsGo(PtyDevice &device)
{
    if (!device.isOpen() || !device.isHostConnected()) {
        QCoreApplication::exit(0);
        return;
    }
    QObject::connect(&device, &PtyDevice::hostClosed, qApp, [] { QCoreApplication::exit(0); });
    QTimer::singleShot(HostCloseWaitMs, qApp, [] { QCoreApplication::exit(0); });
}

// Options that mean something only together with another, or only on a
// pseudo-terminal: a real port is one line for the whole run, with no path of
// its own to link to or to come back under.
bool optionsFitTogether(const QCommandLineParser &parser)
{
    const auto isSet = [&parser](const char *option) { return parser.isSet(QLatin1String(option)); };
    const std::pair<const char *, const char *> needs[] = {
        {"cancel-every", "cancel-at"}, {"unplug-device", "unplug-at"}, {"replug-after", "unplug-at"}};
    for (const auto &[option, needed] : needs) {
        if (isSet(option) && !isSet(needed)) {
            CommandLine::printError(QStringLiteral("--%1 needs --%2").arg(QLatin1String(option), QLatin1String(needed)));
            return false;
        }
    }
    for (const char *option : {"pty", "replug-after", "link"}) {
        if (isSet(option) && isSet("port")) {
            CommandLine::printError(QStringLiteral("--%1 and --port exclude each other").arg(QLatin1String(option)));
            return false;
        }
    }
    return true;
}

// The unplugged device comes back after delayMs on a new pseudo-terminal,
// under the same link, and the next device announces itself there.
void replugLater(PtyDevice &device, int delayMs)
{
    QTimer::singleShot(delayMs, &device, [&device] {
        if (!device.openForHost()) {
            CommandLine::printError(device.errorString());
            QCoreApplication::exit(CommandLine::PortExitCode);
            return;
        }
        CommandLine::printLine(QStringLiteral("Plugged in again: %1").arg(device.slavePath()));
    });
}

bool openLine(PtyDevice &device, const QCommandLineParser &parser)
{
    if (parser.isSet(QStringLiteral("port"))) {
        if (!device.openPort(parser.value(QStringLiteral("port"))))
            return false;
        device.start();
        return true;
    }
    device.setLinkPath(parser.value(QStringLiteral("link")));
    // The path is printed only once the host's opening is watched for, so a
    // host that starts on reading it cannot open the line unseen.
    if (!device.openForHost())
        return false;
    CommandLine::printLine(device.slavePath());
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kavri-devsim"));

    QCommandLineParser parser;
    addOptions(parser);
    if (!CommandLine::parse(parser, application.arguments(), CommandLine::VersionOption::Omitted))
        return CommandLine::UsageExitCode;
    const auto baud = CommandLine::integerValue(parser, QStringLiteral("baud"), 0, 10000000);
    const std::optional<DeviceSimulator::Settings> settings = readSettings(parser);
    if (!settings || !baud || !optionsFitTogether(parser))
        return CommandLine::UsageExitCode;
    const auto replugAfterMs = CommandLine::integerValue(parser, QStringLiteral("replug-after"), 0, 3600000);
    if (!replugAfterMs)
        return CommandLine::UsageExitCode;

    PtyDevice device(*settings);
    device.setBaudRate(int(*baud));
    const QString outPattern = parser.value(QStringLiteral("out"));
    QObject::connect(&device, &PtyDevice::deviceFinished, &device,
                     [&](int index) { reportDevice(device, index, outPattern); });
    QObject::connect(&device, &PtyDevice::allDone, &application, [&] {
        printSummary(device, int(*baud));
        exitOnceHostLetsGo(device);
    });
    QObject::connect(&device, &PtyDevice::unplugged, &device, [&] {
        if (device.simulator().isUnplugged())
            replugLater(device, int(*replugAfterMs));
    });
    StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::stopRequested, &application, [&](const QString &signal) {
        CommandLine::printLine(QStringLiteral("Stopped by %1").arg(signal));
        printSummary(device, int(*baud));
        QCoreApplication::exit(CommandLine::InterruptedExitCode);
    });
    if (!openLine(device, parser)) {
        CommandLine::printError(device.errorString());
        return CommandLine::PortExitCode;
    }
    return application.exec();
}
