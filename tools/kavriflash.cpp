// kavri-flash: flashes a firmware file into devices from the command line,
// with the dialog's protocol, port set-up and firmware checks.

#include "commandline.h"
#include "flashconsole.h"
#include "flashsession.h"
#include "portinfo.h"

#include <QCoreApplication>

#include <optional>

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
        "Flashes FILE into each device that announces itself on the serial port.\n"
        "Exit status: 0 every device OK, 1 a device cancelled, 2 bad usage or firmware file,\n"
        "3 port error or port lost (unless --reopen), 4 timed out, 5 the --log record could not be\n"
        "written (the run stops before the next device), 130 stopped by Ctrl-C."));
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The firmware file (.kvf)."));
    parser.addOptions({
        {QStringLiteral("port"), QStringLiteral("Port to use: a listed name or a path (default: the first listed)."),
         QStringLiteral("NAME")},
        {QStringLiteral("list"), QStringLiteral("List the serial ports and exit.")},
        {QStringLiteral("devices"), QStringLiteral("Serve N devices one after another (0: until stopped)."),
         QStringLiteral("N"), QStringLiteral("1")},
        {QStringLiteral("timeout"), QStringLiteral("Give up when the line is silent this long (default: never)."),
         QStringLiteral("SECONDS"), QStringLiteral("0")},
        {QStringLiteral("reopen"), QStringLiteral("When the port is lost, open it again once it is back and carry on; a device lost "
                                                  "with it is reported \"Port lost\" and not counted in --devices.")},
        {QStringLiteral("log"), QStringLiteral("Append one CSV line per device to FILE."), QStringLiteral("FILE")},
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
    options.firmwarePath = parser.positionalArguments().first();
    options.portName = parser.value(QStringLiteral("port"));
    options.deviceCount = int(*devices);
    options.timeoutSeconds = int(*timeout);
    options.lowLatency = !parser.isSet(QStringLiteral("no-low-latency"));
    options.reopen = parser.isSet(QStringLiteral("reopen"));
    options.logPath = parser.value(QStringLiteral("log"));
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

    FlashConsole console(verbosity(parser));
    FlashSession session(*options, console);
    StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::stopRequested, &session, &FlashSession::interrupt);
    QObject::connect(&session, &FlashSession::finished, &application, &QCoreApplication::exit);
    if (!session.begin())
        return session.exitCode();
    return application.exec();
}
