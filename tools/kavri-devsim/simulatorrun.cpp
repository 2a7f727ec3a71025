#include "simulatorrun.h"

#include "commandline.h"
#include "exitstatus.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <algorithm>

namespace {

constexpr int hostCloseWaitMs = 2000;
// Each line's devices differ from the other lines' in this UID byte.
constexpr int lineUidByte = 6;

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
    case DeviceSimulator::Outcome::Abandoned:
        return QStringLiteral("abandoned");
    case DeviceSimulator::Outcome::OutOfStep:
        return QStringLiteral("out of step");
    }
    return {};
}

QString turnaroundText(const TurnaroundStats &statistics)
{
    const auto figures = statistics.percentiles();
    if (!figures)
        return QStringLiteral("no frames");
    return QStringLiteral("p50 %1 µs, p99 %2 µs, max %3 µs (%4 frames)")
        .arg(figures->p50Us).arg(figures->p99Us).arg(figures->maxUs).arg(figures->frames);
}

// A line's rate over its own transfer times; with several lines, the mean
// line's, over the wall time they took together.
void printPayloadRate(const TurnaroundStats &statistics, int blocks, int baud, int lines, qint64 wallNs)
{
    const qint64 transferNs = statistics.totalTransferNs();
    if (transferNs <= 0)
        return;
    const double rate = blocks * double(DeviceSimulator::blockSize) / (transferNs / 1e9);
    CommandLine::printLine(lines == 1
        ? QStringLiteral("Payload rate: %1 B/s over %2 s").arg(rate, 0, 'f', 1).arg(transferNs / 1e9, 0, 'f', 3)
        : QStringLiteral("Payload rate: %1 B/s a line (%2 lines) over %3 s")
              .arg(rate, 0, 'f', 1).arg(lines).arg(wallNs / 1e9, 0, 'f', 3));
    if (baud > 0) {
        // Each 1024 payload bytes ride in a 1027-byte frame of ten-bit bytes.
        const double ceiling = baud / 10.0 * DeviceSimulator::blockSize / DeviceSimulator::frameLength;
        CommandLine::printLine(QStringLiteral("Line use: %1% of the %2 B/s ceiling")
                                   .arg(100 * rate / ceiling, 0, 'f', 2).arg(ceiling, 0, 'f', 1));
    }
}

} // namespace

SimulatorRun::SimulatorRun(const DeviceSimulator::Settings &settings, const Options &options)
    : options(options)
{
    for (int line = 0; line < options.lineCount; ++line) {
        DeviceSimulator::Settings lineSettings = settings;
        lineSettings.uid[lineUidByte] = char(quint8(lineSettings.uid.at(lineUidByte)) + line);
        auto device = std::make_unique<SimulatedDevice>(lineSettings);
        device->setBaudRate(options.baud);
        device->setIdleTimeout(options.idleTimeoutMs);
        lines.push_back(std::move(device));
        connectLine(line);
    }
}

SimulatorRun::~SimulatorRun() = default;

QString SimulatorRun::outputPath(const QString &pattern, int line, int device)
{
    return QString(pattern)
        .replace(QStringLiteral("%p"), QString::number(line + 1))
        .replace(QStringLiteral("%n"), QString::number(device + 1));
}

void SimulatorRun::connectLine(int line)
{
    SimulatedDevice *device = lines.at(line).get();
    connect(device, &SimulatedDevice::deviceFinished, this, [this, line](int index) { reportDevice(line, index); });
    connect(device, &SimulatedDevice::hostSilent, this, [this, line] { reportSilence(line); });
    connect(device, &SimulatedDevice::hostOpened, this, [this] {
        if (!sinceFirstHost.isValid())
            sinceFirstHost.start();
    });
    connect(device, &SimulatedDevice::allDone, this, &SimulatorRun::lineDone);
    connect(device, &SimulatedDevice::unplugged, this, [this, line] {
        if (lines.at(line)->simulator().isUnplugged())
            replugLater(line);
    });
}

bool SimulatorRun::open()
{
    for (const auto &line : lines) {
        if (!openLine(*line)) {
            CommandLine::printError(line->errorString());
            return false;
        }
    }
    for (const auto &line : lines) {
        if (!line->slavePath().isEmpty())
            CommandLine::printLine(line->slavePath());
    }
    return true;
}

bool SimulatorRun::openLine(SimulatedDevice &line)
{
    if (!options.portPath.isEmpty()) {
        if (!line.openPort(options.portPath))
            return false;
        line.start();
        return true;
    }
    line.setLinkPath(options.linkPath);
    // The path is printed only once the host's opening is watched for, so a
    // host that starts on reading it cannot open the line unseen.
    return line.openForHost();
}

QString SimulatorRun::deviceName(int line, int device) const
{
    if (lines.size() == 1)
        return QStringLiteral("Device %1").arg(device + 1);
    return QStringLiteral("Line %1 device %2").arg(line + 1).arg(device + 1);
}

void SimulatorRun::reportDevice(int line, int device)
{
    const DeviceSimulator::DeviceSession &record = lines.at(line)->simulator().devices().at(device);
    if (sinceFirstHost.isValid())
        lastDeviceEndNs = sinceFirstHost.nsecsElapsed();
    CommandLine::printLine(QStringLiteral("%1 UID %2: %3, %4 blocks received")
                               .arg(deviceName(line, device), QString::fromLatin1(record.uid.toHex().toUpper()),
                                    outcomeName(record.outcome))
                               .arg(record.image.size() / DeviceSimulator::blockSize));
    if (!options.outPattern.isEmpty())
        saveImage(outputPath(options.outPattern, line, device), record.image);
}

void SimulatorRun::saveImage(const QString &path, const QByteArray &image)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(image) != image.size()
        || !file.flush()) {
        CommandLine::printError(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
        fail(ExitWriteFailed);
    }
}

void SimulatorRun::reportSilence(int line)
{
    const DeviceSimulator &simulator = lines.at(line)->simulator();
    const int device = simulator.currentDeviceIndex();
    CommandLine::printError(QStringLiteral("%1 UID %2 gave up: the host was silent for %3 s")
                                .arg(deviceName(line, device),
                                     QString::fromLatin1(simulator.devices().at(device).uid.toHex().toUpper()))
                                .arg(CommandLine::secondsText(options.idleTimeoutMs)));
    fail(ExitTimedOut);
}

// The unplugged device comes back on a new pseudo-terminal, under the same
// link, and the next device announces itself there.
void SimulatorRun::replugLater(int line)
{
    if (options.replugAfterMs < 0)
        return;
    SimulatedDevice *device = lines.at(line).get();
    QTimer::singleShot(options.replugAfterMs, device, [this, device, line] {
        if (!device->openForHost()) {
            CommandLine::printError(device->errorString());
            QCoreApplication::exit(ExitPortFailed);
            return;
        }
        const QString plugged = lines.size() == 1 ? QStringLiteral("Plugged in again")
                                                    : QStringLiteral("Line %1 plugged in again").arg(line + 1);
        CommandLine::printLine(QStringLiteral("%1: %2").arg(plugged, device->slavePath()));
    });
}

void SimulatorRun::lineDone()
{
    if (++linesDone < int(lines.size()))
        return;
    printSummary();
    exitOnceHostsLetGo();
}

// A row per line under one heading, narrow enough for 80 columns: its path,
// devices, blocks, bad frames, NAKs sent and the host's turnaround.
void SimulatorRun::printLineRows() const
{
    qsizetype pathWidth = 4;
    for (const auto &line : lines)
        pathWidth = std::max(pathWidth, line->slavePath().size());
    const QString row = QStringLiteral("%1  %2  %3  %4  %5  %6  %7  %8  %9");
    CommandLine::printLine(row.arg(QStringLiteral("Line"), 4).arg(QStringLiteral("Path"), -int(pathWidth))
                               .arg(QStringLiteral("Devices")).arg(QStringLiteral("Blocks")).arg(QStringLiteral("Bad"))
                               .arg(QStringLiteral("NAKs")).arg(QStringLiteral("p50 µs"))
                               .arg(QStringLiteral("p99 µs")).arg(QStringLiteral("max µs")));
    for (int line = 0; line < int(lines.size()); ++line) {
        const SimulatedDevice &device = *lines.at(line);
        const DeviceSimulator &simulator = device.simulator();
        const auto figures = device.statistics().percentiles();
        const auto micros = [&figures](qint64 TurnaroundStats::Percentiles::*field) {
            return figures ? QString::number((*figures).*field) : QStringLiteral("-");
        };
        CommandLine::printLine(row.arg(line + 1, 4).arg(device.slavePath(), -int(pathWidth))
                                   .arg(simulator.devices().size(), 7).arg(simulator.blocksReceived(), 6)
                                   .arg(simulator.badFrames(), 3).arg(simulator.naksSent(), 4)
                                   .arg(micros(&TurnaroundStats::Percentiles::p50Us), 6)
                                   .arg(micros(&TurnaroundStats::Percentiles::p99Us), 6)
                                   .arg(micros(&TurnaroundStats::Percentiles::maxUs), 6));
    }
}

// With several lines, a row per line, then the totals in the form a single
// line's summary has.
void SimulatorRun::printSummary() const
{
    qsizetype devices = 0;
    int blocks = 0, badFrames = 0, naks = 0;
    TurnaroundStats statistics;
    if (lines.size() > 1)
        printLineRows();
    for (int line = 0; line < int(lines.size()); ++line) {
        const DeviceSimulator &simulator = lines.at(line)->simulator();
        devices += simulator.devices().size();
        blocks += simulator.blocksReceived();
        badFrames += simulator.badFrames();
        naks += simulator.naksSent();
        statistics.add(lines.at(line)->statistics());
    }
    CommandLine::printLine(QStringLiteral("Devices: %1, blocks: %2, bad frames: %3, NAKs sent: %4")
                               .arg(devices).arg(blocks).arg(badFrames).arg(naks));
    CommandLine::printLine(QStringLiteral("Host turnaround: ") + turnaroundText(statistics));
    printPayloadRate(statistics, blocks, options.baud, int(lines.size()), lastDeviceEndNs);
}

void SimulatorRun::stop(const QString &signalName)
{
    CommandLine::printLine(QStringLiteral("Stopped by %1").arg(signalName));
    printSummary();
    QCoreApplication::exit(ExitInterrupted);
}

// Ending the process hangs up the lines, and a hang-up throws away whatever
// a host has not read yet, a final CAN say. So the lines stay up until their
// hosts close them, as devices left plugged in would, though not for long.
void SimulatorRun::exitOnceHostsLetGo()
{
    const int exitCode = code;
    if (hostsGone()) {
        QCoreApplication::exit(exitCode);
        return;
    }
    for (const auto &line : lines) {
        connect(line.get(), &SimulatedDevice::hostClosed, this, [this, exitCode] {
            if (hostsGone())
                QCoreApplication::exit(exitCode);
        });
    }
    QTimer::singleShot(hostCloseWaitMs, this, [exitCode] { QCoreApplication::exit(exitCode); });
}

bool SimulatorRun::hostsGone() const
{
    return std::none_of(lines.cbegin(), lines.cend(),
                        [](const auto &line) { return line->isOpen() && line->isHostConnected(); });
}

void SimulatorRun::fail(int exitCode)
{
    if (code == 0)
        code = exitCode;
}
