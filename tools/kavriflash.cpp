// kavri-flash: flashes a firmware file into devices from the command line,
// with the dialog's protocol, port set-up and firmware checks.

#include "commandline.h"
#include "flashconsole.h"
#include "flashjson.h"
#include "flashrun.h"
#include "portinfo.h"

#include <QCoreApplication>

#include <memory>
#include <optional>
#include <unistd.h>

static_assert(ExitBadInput == CommandLine::UsageExitCode && ExitPortFailed == CommandLine::PortExitCode
              && ExitTimedOut == CommandLine::TimeoutExitCode && ExitLogFailed == CommandLine::WriteExitCode
              && ExitInterrupted == CommandLine::InterruptedExitCode,
              "kavri-flash and kavri-devsim share these exit statuses");

namespace {

void listPorts()
{
    const QList<PortInfo> ports = systemPorts();
    if (ports.isEmpty())
        CommandLine::printLine(QStringLiteral("No serial ports found"));
    for (const PortInfo &port : ports)
        CommandLine::printLine(portDescription(port));
}

void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Flashes FILE into each device that announces itself on the serial port, or on many\n"
        "ports at once, each served the moment its device speaks.\n"
        "Exit status: 0 every device on every port OK; else the highest of 1 a device cancelled,\n"
        "3 port error or port lost (unless --reopen), 4 timed out; 2 bad usage or firmware file,\n"
        "5 the --log record could not be written (the run stops before the next device),\n"
        "130 stopped by Ctrl-C."));
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The firmware file (.kvf)."));
    parser.addOptions({
        {QStringLiteral("port"), QStringLiteral("Port to use: a listed name or a path (default: the first listed); "
                                                "give it again for more ports."),
         QStringLiteral("NAME")},
        {QStringLiteral("all-ports"), QStringLiteral("Serve every listed port, and each that appears later.")},
        {QStringLiteral("match"), QStringLiteral("Serve the listed ports whose name, description, manufacturer, serial number "
                                                 "or VID:PID (hex, as 0403:6001) contains TEXT; implies --all-ports."),
         QStringLiteral("TEXT")},
        {QStringLiteral("json"), QStringLiteral("Print JSON Lines on stdout: one event an object (opened, identified, "
                                                "progress, result, lost, summary) and nothing else.")},
        {QStringLiteral("list"), QStringLiteral("List the serial ports and exit.")},
        {QStringLiteral("devices"), QStringLiteral("Serve N devices one after another on each port (0: until stopped)."),
         QStringLiteral("N"), QStringLiteral("1")},
        {QStringLiteral("timeout"), QStringLiteral("Give up on a port when its line is silent this long (default: never)."),
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
    const auto timeout = CommandLine::integerValue(parser, QStringLiteral("timeout"), 0, 86400);
    if (!devices || !timeout)
        return std::nullopt;
    FlashOptions options;
    options.port.firmwarePath = parser.positionalArguments().first();
    options.port.deviceCount = int(*devices);
    options.port.timeoutSeconds = int(*timeout);
    options.port.lowLatency = !parser.isSet(QStringLiteral("no-low-latency"));
    options.port.reopen = parser.isSet(QStringLiteral("reopen"));
    options.portNames = parser.values(QStringLiteral("port"));
    options.allPorts = parser.isSet(QStringLiteral("all-ports"));
    options.match = parser.value(QStringLiteral("match"));
    options.logPath = parser.value(QStringLiteral("log"));
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
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kavri-flash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KAVRI_VERSION));

    QCommandLineParser parser;
    addOptions(parser);
    if (!CommandLine::parse(parser, application.arguments(), CommandLine::VersionOption::Offered))
        return ExitBadInput;
    if (parser.isSet(QStringLiteral("list"))) {
        listPorts();
        return ExitOk;
    }
    const std::optional<FlashOptions> options = readOptions(parser);
    if (!options)
        return ExitBadInput;

    std::unique_ptr<FlashReporter> reporter;
    if (parser.isSet(QStringLiteral("json")))
        reporter = std::make_unique<FlashJson>();
    else
        reporter = std::make_unique<FlashConsole>(verbosity(parser),
                                                  options->portNames.size() > 1 || options->allPorts
                                                      || !options->match.isEmpty(),
                                                  isatty(STDERR_FILENO));
    FlashRun run(*options, *reporter);
    StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::stopRequested, &run, &FlashRun::interrupt);
    QObject::connect(&run, &FlashRun::finished, &application, &QCoreApplication::exit);
    if (!run.begin())
        return run.exitCode();
    return application.exec();
}
