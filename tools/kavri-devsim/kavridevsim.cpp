// kavri-devsim: the simulated device, on a pseudo-terminal or a real serial
// port, for running kavri-flash or the dialog without hardware.

#include "commandline.h"
#include "exitstatus.h"
#include "simulatorrun.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <optional>
#include <utility>

namespace {

constexpr int noiseByteCount = 64;
constexpr int maxLines = 64;

void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Plays the device end of the flashing protocol. With --pty (the default) it\n"
        "creates a pseudo-terminal, prints its path as the first line and announces the\n"
        "first device once a host opens that path. With --port it announces at once, so\n"
        "start the host first.\n"
        "--devices counts devices that complete or cancel: one unplugged and replugged\n"
        "(see --replug-after) is replaced by one more.\n"
        "With --count N it plays N independent lines at once: it prints their N paths\n"
        "first, one a line, and each line's devices differ from the other lines' in UID\n"
        "byte 7.\n"
        "Once a device has announced itself, a host silent for --idle-timeout seconds is\n"
        "taken for gone: that line gives up, and the run's exit status is 4.\n"
        "After the last device it keeps the lines up until the hosts close them (at most\n"
        "2 s), then prints a summary: devices, blocks, bad frames, NAKs sent, the host's\n"
        "turnaround (from its request to the next frame; p50, p99, max) and the payload\n"
        "rate; with --count a row per line comes first.\n"
        "Exit status: 0 all went well; 2 bad usage, or --out cannot be written at the\n"
        "start; 3 a line did not open; 4 a host fell silent (--idle-timeout); 5 a\n"
        "received image could not be saved; 130 stopped by SIGINT or SIGTERM."));
    parser.addOptions({
        {QStringLiteral("pty"), QStringLiteral("Create a pseudo-terminal for the host (default).")},
        {QStringLiteral("port"), QStringLiteral("Use the serial port at PATH instead."), QStringLiteral("PATH")},
        {QStringLiteral("uid"), QStringLiteral("UID of the first device, 16 hex digits; each further device adds 1 to its last byte."),
         QStringLiteral("HEX16"), QStringLiteral("4B41565249000001")},
        {QStringLiteral("device-version"), QStringLiteral("Firmware version the devices announce (--version is the "
                                                          "program's own)."),
         QStringLiteral("MAJ.MIN"), QStringLiteral("1.0")},
        {QStringLiteral("devices"), QStringLiteral("Devices that complete or cancel, one after another."),
         QStringLiteral("N"), QStringLiteral("1")},
        {QStringLiteral("count"), QStringLiteral("With --pty: play N lines at once (at most %1), each on its own "
                                                 "pseudo-terminal.").arg(maxLines),
         QStringLiteral("N"), QStringLiteral("1")},
        {QStringLiteral("out"), QStringLiteral("Write the image each device received to FILE as it finishes; "
                                               "%n in FILE becomes the device's number, else each overwrites the last; "
                                               "%p the line's number (needed with --count). Its folder must exist."),
         QStringLiteral("FILE")},
        {QStringLiteral("idle-timeout"), QStringLiteral("Give up on a host silent for S seconds once a device has "
                                                        "announced itself; fractions allowed (0: wait forever)."),
         QStringLiteral("S"), QStringLiteral("10")},
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
        {QStringLiteral("noise"), QStringLiteral("Send %1 bytes of garbage (never 0x03) before each announcement.").arg(noiseByteCount)},
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
        QRegularExpression(QStringLiteral("^(\\d{1,3})\\.(\\d{1,3})$")).match(parser.value(QStringLiteral("device-version")));
    if (!version.hasMatch() || version.captured(1).toInt() > 255 || version.captured(2).toInt() > 255) {
        CommandLine::printError(QStringLiteral("--device-version takes MAJ.MIN, each 0 to 255"));
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
    settings.noiseBytes = parser.isSet(QStringLiteral("noise")) ? noiseByteCount : 0;
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
    for (const char *option : {"pty", "replug-after", "link", "count"}) {
        if (isSet(option) && isSet("port")) {
            CommandLine::printError(QStringLiteral("--%1 and --port exclude each other").arg(QLatin1String(option)));
            return false;
        }
    }
    return true;
}

// Several lines need %p in --out, or their images overwrite each other, and
// a link names one line only.
bool linesFitOptions(const QCommandLineParser &parser, int lineCount)
{
    if (lineCount == 1)
        return true;
    if (parser.isSet(QStringLiteral("out")) && !parser.value(QStringLiteral("out")).contains(QStringLiteral("%p"))) {
        CommandLine::printError(QStringLiteral("--out needs %p with --count above 1, or the lines overwrite each other's images"));
        return false;
    }
    if (parser.isSet(QStringLiteral("link"))) {
        CommandLine::printError(QStringLiteral("--link names one line: it takes --count 1"));
        return false;
    }
    return true;
}

// An image is saved only once its device finishes, so --out is checked at the
// start, by its first name: a file that can be written, or a writable folder
// to make it in.
bool outputWritable(const QString &pattern)
{
    if (pattern.isEmpty())
        return true;
    const QFileInfo file(SimulatorRun::outputPath(pattern, 0, 0));
    const QFileInfo folder(file.absolutePath());
    QString problem;
    if (file.isDir())
        problem = QStringLiteral("it is a folder");
    else if (file.exists() && !file.isWritable())
        problem = QStringLiteral("permission denied");
    else if (!file.exists() && !folder.isDir())
        problem = QStringLiteral("no folder %1").arg(QDir::toNativeSeparators(folder.filePath()));
    else if (!file.exists() && !folder.isWritable())
        problem = QStringLiteral("folder %1 not writable").arg(QDir::toNativeSeparators(folder.filePath()));
    if (problem.isEmpty())
        return true;
    CommandLine::printError(QStringLiteral("--out: cannot write %1: %2").arg(file.filePath(), problem));
    return false;
}

std::optional<SimulatorRun::Options> readRunOptions(const QCommandLineParser &parser)
{
    const auto lineCount = CommandLine::integerValue(parser, QStringLiteral("count"), 1, maxLines);
    const auto baud = CommandLine::integerValue(parser, QStringLiteral("baud"), 0, 10000000);
    const auto idleTimeout = CommandLine::millisecondsValue(parser, QStringLiteral("idle-timeout"), 86400);
    const auto replugAfterMs = CommandLine::integerValue(parser, QStringLiteral("replug-after"), 0, 3600000);
    if (!lineCount || !baud || !idleTimeout || !replugAfterMs || !linesFitOptions(parser, int(*lineCount)))
        return std::nullopt;
    SimulatorRun::Options options;
    options.lineCount = int(*lineCount);
    options.portPath = parser.value(QStringLiteral("port"));
    options.linkPath = parser.value(QStringLiteral("link"));
    options.outPattern = parser.value(QStringLiteral("out"));
    options.baud = int(*baud);
    options.idleTimeoutMs = *idleTimeout;
    options.replugAfterMs = parser.isSet(QStringLiteral("replug-after")) ? int(*replugAfterMs) : -1;
    if (!outputWritable(options.outPattern))
        return std::nullopt;
    return options;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kavri-devsim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KAVRI_VERSION));

    QCommandLineParser parser;
    addOptions(parser);
    if (!CommandLine::parse(parser, application.arguments()))
        return ExitBadInput;
    if (!parser.positionalArguments().isEmpty()) {
        CommandLine::printError(QStringLiteral("unexpected argument \"%1\" (see --help)")
                                    .arg(parser.positionalArguments().constFirst()));
        return ExitBadInput;
    }
    const std::optional<DeviceSimulator::Settings> settings = readSettings(parser);
    if (!settings || !optionsFitTogether(parser))
        return ExitBadInput;
    const std::optional<SimulatorRun::Options> options = readRunOptions(parser);
    if (!options)
        return ExitBadInput;

    SimulatorRun run(*settings, *options);
    StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::stopRequested, &run, &SimulatorRun::stop);
    if (!run.open())
        return ExitPortFailed;
    return application.exec();
}
