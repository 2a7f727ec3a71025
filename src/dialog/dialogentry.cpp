#include "dialogentry.h"

#include "portinfo.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>

#include <cstdio>

namespace {

// The file a port name stands for, links resolved.
QString resolvedPath(const QString &name)
{
    const QString path = portPath(name);
    const QString resolved = QFileInfo(path).canonicalFilePath();
    return resolved.isEmpty() ? path : resolved;
}

} // namespace

DialogCommandLine::DialogCommandLine()
    : help(parser.addHelpOption())
    , version(QStringLiteral("version"), QStringLiteral("Show the program's version."))
    , port(QStringLiteral("port"),
           QStringLiteral("Put the port NAME (a listed name such as ttyUSB0, or any path: a link, a "
                          "pseudo-terminal of kavri-devsim) into the port list and select it."),
           QStringLiteral("NAME"))
{
    parser.setApplicationDescription(QStringLiteral("Writes a firmware image (.kvf) into a device over a serial line."));
    parser.addOption(version);
    parser.addOption(port);
}

std::optional<int> DialogCommandLine::settleWithoutDisplay(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    // An unknown option may be the toolkit's, taken only once the application
    // object exists; the parse goes on past it.
    const bool toolkitOptions = !parser.parse(arguments) && !parser.unknownOptionNames().isEmpty();
    // --help-all answers as --help: the toolkit lists its own options only
    // through the application object that needs a display.
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all")) || parser.isSet(version)) {
        const QCoreApplication console(argc, argv); // names the program in the usage line
        const QString text = parser.isSet(version)
            ? QCoreApplication::applicationName() + u' ' + QCoreApplication::applicationVersion() + u'\n'
            : parser.helpText();
        std::fputs(qPrintable(text), stdout);
        return 0;
    }
    if (!toolkitOptions && !read(arguments))
        return 2;
    return std::nullopt;
}

bool DialogCommandLine::read(const QStringList &arguments)
{
    QString problem;
    if (!parser.parse(arguments))
        problem = parser.errorText();
    else if (!parser.positionalArguments().isEmpty())
        problem = QStringLiteral("Unexpected argument \"%1\"").arg(parser.positionalArguments().constFirst());
    else if (parser.isSet(port) && parser.value(port).isEmpty())
        problem = QStringLiteral("--port needs a name");
    if (problem.isEmpty())
        return true;
    std::fputs(qPrintable(QCoreApplication::applicationName() + QStringLiteral(": ") + problem
                          + QStringLiteral(" (see --help)\n")),
               stderr);
    return false;
}

PortSource DialogCommandLine::portSource(const PortSource &system) const
{
    return portsWith(system, parser.value(port));
}

PortSource portsWith(const PortSource &source, const QString &name)
{
    if (name.isEmpty())
        return source;
    return [source, name] {
        QList<PortInfo> ports = source();
        const QString path = resolvedPath(name);
        PortInfo named{name, {}, {}, {}, 0, 0};
        for (qsizetype i = 0; i < ports.size(); ++i) {
            if (ports[i].name == name || resolvedPath(ports[i].name) == path) {
                named = ports.takeAt(i);
                break;
            }
        }
        ports.prepend(named);
        return ports;
    };
}

void nameApplication()
{
    QCoreApplication::setApplicationName(QStringLiteral("kavriUpdate"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KAVRI_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.example.kavriupdate"));
}

QIcon applicationIcon()
{
    return QIcon(QStringLiteral(":/kavriupdate.ico"));
}
