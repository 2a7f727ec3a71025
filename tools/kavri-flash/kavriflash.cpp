// kavri-flash: flashes a firmware file into devices from the command line,
// with the dialog's protocol, port set-up and firmware checks.

#include "commandline.h"
#include "exitstatus.h"
#include "flashconsole.h"
#include "flashjson.h"
#include "flashrun.h"
#include "transferprotocol.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <csignal>
#include <memory>
#include <optional>
#include <unistd.h>

namespace {

void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Flashes FILE into each device that announces itself on the serial port, or on\n"
        "many ports at once, each served the moment its device speaks. FILE is read\n"
        "once, at the start: every device of the run gets that image (its size and\n"
        "SHA-256 are printed), whatever happens to the file, unless --follow is given. A\n"
        "block the device refuses %1 times in a row ends its download (nak-limit).\n"
        "Exit status: 0 every device on every port OK; else the highest of 1 a device\n"
        "canceled or reached the NAK limit, 3 port error or a device lost with its port,\n"
        "4 timed out (a silent line or device, or no port open); 2 bad usage or firmware\n"
        "file, 5 the --log record or standard output could not be written (transfers\n"
        "under way finish, no device is started after), 130 stopped by Ctrl-C or\n"
        "SIGTERM.").arg(TransferProtocol::nakLimit));
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The firmware file (.kvf)."));
    parser.addOptions({
        {QStringLiteral("port"), QStringLiteral("Port to use: a listed name or a path (default: the one USB serial "
                                                "adapter listed, never a built-in port); give it again for more ports."),
         QStringLiteral("NAME")},
        {QStringLiteral("follow"), QStringLiteral("Take FILE again when it is rebuilt during the run, once it is whole: "
                                                  "a new file renamed over it that nobody has open for writing, or "
                                                  "an image envelope that checks out; devices from then on get it.")},
        {QStringLiteral("all-ports"), QStringLiteral("Serve every listed port, and each that appears later.")},
        {QStringLiteral("match"), QStringLiteral("Serve the listed ports whose name, description, manufacturer, serial number "
                                                 "or VID:PID (hex, as 0403:6001) contains TEXT; implies --all-ports."),
         QStringLiteral("TEXT")},
        {QStringLiteral("json"), QStringLiteral("Print JSON Lines on stdout: one event an object (opened, identified, "
                                                "progress, result, lost, summary) and nothing else.")},
        {QStringLiteral("list"), QStringLiteral("List the serial ports and exit (as JSON Lines with --json).")},
        {QStringLiteral("devices"), QStringLiteral("Serve N devices one after another on each port (0: until stopped)."),
         QStringLiteral("N"), QStringLiteral("1")},
        {QStringLiteral("timeout"), QStringLiteral("Give up on a port when its line is silent this long, and on the run "
                                                   "when no port is open this long; fractions allowed (default: never)."),
         QStringLiteral("SECONDS"), QStringLiteral("0")},
        {QStringLiteral("device-timeout"), QStringLiteral("Give up on a device silent this long (recorded timed-out), "
                                                          "and wait on its port for the next device; fractions "
                                                          "allowed (default: never)."),
         QStringLiteral("SECONDS"), QStringLiteral("0")},
        {QStringLiteral("reopen"), QStringLiteral("When the port is lost, open it again once it is back and carry on; a device lost "
                                                  "with it is reported \"Port lost\" and not counted in --devices.")},
        {QStringLiteral("log"), QStringLiteral("Append one CSV line per device to FILE, the SHA-256 of the bytes sent "
                                               "included."), QStringLiteral("FILE")},
        {QStringLiteral("no-low-latency"), QStringLiteral("Do not ask the port driver for low latency.")},
        {{QStringLiteral("q"), QStringLiteral("quiet")}, QStringLiteral("Print only results and problems.")},
        {{QStringLiteral("v"), QStringLiteral("verbose")},
         QStringLiteral("Say more about each step, and the resident memory after the first device and at the end.")},
    });
}

// A relative path ("by-id/slot1") is taken from the current folder when it
// names something there, rather than as a listed name under /dev ("pts/4").
QStringList portArguments(const QStringList &names)
{
    QStringList ports;
    for (const QString &name : names) {
        const bool relativePath = name.contains(u'/') && !QFileInfo(name).isAbsolute();
        ports.append(relativePath && QFileInfo::exists(name) ? QFileInfo(name).absoluteFilePath() : name);
    }
    return ports;
}

std::optional<FlashOptions> readOptions(const QCommandLineParser &parser)
{
    if (parser.positionalArguments().size() != 1) {
        CommandLine::printError(QStringLiteral("name exactly one firmware FILE (see --help)"));
        return std::nullopt;
    }
    if (parser.isSet(QStringLiteral("quiet")) && parser.isSet(QStringLiteral("verbose"))) {
        CommandLine::printError(QStringLiteral("-q and -v exclude each other"));
        return std::nullopt;
    }
    const auto devices = CommandLine::integerValue(parser, QStringLiteral("devices"), 0, 1000000);
    const auto timeout = CommandLine::millisecondsValue(parser, QStringLiteral("timeout"), 86400);
    const auto deviceTimeout = CommandLine::millisecondsValue(parser, QStringLiteral("device-timeout"), 86400);
    if (!devices || !timeout || !deviceTimeout)
        return std::nullopt;
    FlashOptions options;
    options.firmwarePath = parser.positionalArguments().first();
    options.follow = parser.isSet(QStringLiteral("follow"));
    options.port.deviceCount = int(*devices);
    options.port.timeoutMs = *timeout;
    options.port.deviceTimeoutMs = *deviceTimeout;
    options.port.lowLatency = !parser.isSet(QStringLiteral("no-low-latency"));
    options.port.reopen = parser.isSet(QStringLiteral("reopen"));
    options.portNames = portArguments(parser.values(QStringLiteral("port")));
    options.allPorts = parser.isSet(QStringLiteral("all-ports"));
    options.match = parser.value(QStringLiteral("match"));
    options.logPath = parser.value(QStringLiteral("log"));
    if (parser.isSet(QStringLiteral("match")) && options.match.isEmpty()) {
        CommandLine::printError(QStringLiteral("--match needs a text: an empty one would match every port"));
        return std::nullopt;
    }
    if ((options.allPorts || !options.match.isEmpty()) && !options.portNames.isEmpty()) {
        CommandLine::printError(QStringLiteral("--port and --all-ports (or --match) exclude each other"));
        return std::nullopt;
    }
    return options;
}

FlashConsole::Verbosity verbosity(const QCommandLineParser &parser)
{
    if (parser.isSet(QStringLiteral("quiet")))
        return FlashConsole::Verbosity::Quiet;
    if (parser.isSet(QStringLiteral("verbose")))
        return FlashConsole::Verbosity::Verbose;
    return FlashConsole::Verbosity::Normal;
}

} // namespace

int main(int argc, char *argv[])
{
    // Qt's own event loop, not GLib's: with a hundred ports it costs less
    // for every wake-up, and there is no GLib-based library here to serve.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kavri-flash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KAVRI_VERSION));

    QCommandLineParser parser;
    addOptions(parser);
    if (!CommandLine::parse(parser, application.arguments()))
        return ExitBadInput;
    const bool severalPorts = parser.values(QStringLiteral("port")).size() > 1
        || parser.isSet(QStringLiteral("all-ports")) || parser.isSet(QStringLiteral("match"));
    std::unique_ptr<FlashReporter> reporter;
    if (parser.isSet(QStringLiteral("json")))
        reporter = std::make_unique<FlashJson>();
    else
        reporter = std::make_unique<FlashConsole>(verbosity(parser), severalPorts, isatty(STDOUT_FILENO) && isatty(STDERR_FILENO));
    if (parser.isSet(QStringLiteral("list"))) {
        if (!parser.positionalArguments().isEmpty()) {
            CommandLine::printError(QStringLiteral("--list takes no FILE, not \"%1\" (see --help)")
                                        .arg(parser.positionalArguments().constFirst()));
            return ExitBadInput;
        }
        reporter->listed(systemPorts());
        return ExitOk;
    }
    const std::optional<FlashOptions> options = readOptions(parser);
    if (!options) {
        reporter->summary({}, ExitBadInput);
        return ExitBadInput;
    }
#ifdef SIGPIPE
    // A reader of stdout that goes away is said and survived, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
#endif

    FlashRun run(*options, *reporter);
    StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::stopRequested, &run, &FlashRun::interrupt);
    stopSignals.catchHangUp();
    QObject::connect(&stopSignals, &StopSignals::reopenRequested, &run, &FlashRun::reopenLog);
    QObject::connect(&run, &FlashRun::finished, &application, &QCoreApplication::exit);
    // Set after the run, which hears of a reader that falls behind.
    reporter->writeInBackground();
    const int exitCode = run.begin() ? application.exec() : run.exitCode();
    reporter->finishOutput();
    return exitCode;
}
