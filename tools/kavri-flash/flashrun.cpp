#include "flashrun.h"

#include "commandline.h"
#include "exitstatus.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <iterator>
#include <unistd.h>

namespace {

// How often --all-ports reads the port list when no event says to: a
// listing costs next to nothing, and it catches whatever events miss.
constexpr int portPollIntervalMs = 1000;

// The process's resident memory in KiB; -1 where the system does not say.
qint64 residentKiB()
{
#ifdef Q_OS_LINUX
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    // "size resident shared ...", in pages.
    const QList<QByteArray> fields = statm.readAll().split(' ');
    bool ok = false;
    const qint64 pages = fields.value(1).toLongLong(&ok);
    return ok ? pages * sysconf(_SC_PAGESIZE) / 1024 : -1;
#else
    return -1;
#endif
}

// The file a port name stands for, links resolved: two names of one port give the same.
QString resolvedPath(const QString &name)
{
    const QString path = portPath(name);
    const QString resolved = QFileInfo(path).canonicalFilePath();
    return resolved.isEmpty() ? path : resolved;
}

} // namespace

FlashRun::FlashRun(const FlashOptions &options, FlashReporter &reporter, PortSource portSource, QObject *parent)
    : QObject(parent)
    , options(options)
    , reporter(reporter)
    , portSource(std::move(portSource))
    , firmware(options.firmwarePath, options.follow, reporter)
{
    this->options.allPorts |= !options.match.isEmpty();
    this->options.port.hotPlug = this->options.allPorts;
    portPoll.setInterval(portPollIntervalMs);
    connect(&portPoll, &QTimer::timeout, this, &FlashRun::portsChanged);
    connect(&portWatch, &PortWatch::portEvent, this, [this](const QString &name, bool removed) {
        if (FlashPort *port = portNamed(name); port && removed)
            port->vanished();
        portsChanged();
    });
    noPortTimer.setSingleShot(true);
    noPortTimer.setInterval(options.port.timeoutMs);
    connect(&noPortTimer, &QTimer::timeout, this, &FlashRun::noPortTimedOut);
    reporter.outputFailed = [this](const QString &problem) {
        QMetaObject::invokeMethod(this, [this, problem] {
            this->reporter.problem({}, problem + QStringLiteral(": no device is started from now on; the transfers "
                                                                "under way finish"));
            stopAfterTransfers(ExitWriteFailed);
        }, Qt::QueuedConnection);
    };
}

bool FlashRun::begin()
{
    const QString twice = samePortTwice();
    if (!twice.isEmpty())
        return fail(ExitBadInput, twice);
    if (!options.allPorts && options.portNames.isEmpty() && !chooseAdapter())
        return fail(ExitBadInput, {});
    const QString firmwareProblem = firmware.load();
    if (!firmwareProblem.isEmpty())
        return fail(ExitBadInput, firmwareProblem);
    const QString logProblem = options.logPath.isEmpty() ? QString() : log.open(options.logPath);
    if (!logProblem.isEmpty())
        return fail(ExitWriteFailed, logProblem);
    if (!options.allPorts)
        return openChosenPorts() || fail(ExitPortFailed, {});
    reporter.detail({}, portWatch.start() ? QStringLiteral("Ports: the system's events, and a look every second")
                                          : QStringLiteral("Ports: a look every second (no system events here)"));
    portPoll.start();
    portsChanged();
    return true;
}

// Reports the run's end before it began: the problem, then the summary.
bool FlashRun::fail(int exitCode, const QString &problem)
{
    if (!problem.isEmpty())
        reporter.problem({}, problem);
    code = std::max(code, exitCode);
    reporter.summary(summaryRows(), code);
    return false;
}

// One port named twice would be opened twice, and the second would find it busy.
QString FlashRun::samePortTwice() const
{
    QHash<QString, QString> named; // resolved path: the name first given for it
    for (const QString &name : options.portNames) {
        const QString path = resolvedPath(name);
        if (const auto earlier = named.constFind(path); earlier != named.cend())
            return QStringLiteral("--port %1 and --port %2 name the same port").arg(*earlier, name);
        named.insert(path, name);
    }
    return {};
}

// With no port named, the one USB serial adapter listed is the port meant. A
// built-in UART never is (a PC's ttyS0 is rarely the device), and a choice
// among several adapters is the user's: said with the candidates.
bool FlashRun::chooseAdapter()
{
    const QList<PortInfo> listed = portSource();
    QList<PortInfo> adapters;
    std::copy_if(listed.cbegin(), listed.cend(), std::back_inserter(adapters), [](const PortInfo &port) {
        return !PortLabel::of(port).usbId.isEmpty();
    });
    if (adapters.size() == 1) {
        options.portNames.append(adapters.first().name);
        reporter.problem({}, QStringLiteral("Using %1, the one USB serial adapter listed (no --port given)")
                                 .arg(adapters.first().name));
        return true;
    }
    const bool severalAdapters = adapters.size() > 1;
    QStringList lines;
    if (severalAdapters)
        lines.append(QStringLiteral("No --port given, and %1 USB serial adapters are listed:").arg(adapters.size()));
    else if (!listed.isEmpty())
        lines.append(QStringLiteral("No --port given, and no USB serial adapter listed; the ports are:"));
    else
        lines.append(QStringLiteral("No --port given, and no serial port is listed"));
    for (const PortInfo &port : severalAdapters ? adapters : listed)
        lines.append(QStringLiteral("  ") + portDescription(port));
    lines.append(severalAdapters ? QStringLiteral("Choose one with --port NAME, or serve them all with --all-ports")
                                 : QStringLiteral("Name the device's port with --port NAME"));
    reporter.problem({}, lines.join(u'\n'));
    return false;
}

bool FlashRun::openChosenPorts()
{
    const QList<PortInfo> listed = portSource();
    for (const QString &name : std::as_const(options.portNames))
        addPort(labelFor(name, listed));
    return std::any_of(ports.cbegin(), ports.cend(), [](const FlashPort *port) { return port->isOpen(); });
}

// A port named by a path still has the adapter's details when the list has it.
PortLabel FlashRun::labelFor(const QString &name, const QList<PortInfo> &listed) const
{
    for (const PortInfo &info : listed) {
        if (info.name == name || resolvedPath(info.name) == resolvedPath(name)) {
            PortLabel label = PortLabel::of(info);
            label.name = name;
            return label;
        }
    }
    return {name, {}, {}};
}

FlashPort *FlashRun::portNamed(const QString &name) const
{
    const auto found = std::find_if(ports.cbegin(), ports.cend(), [&name](const FlashPort *port) {
        return port->name() == name;
    });
    return found == ports.cend() ? nullptr : *found;
}

// One port name is one port, summed over its comings and goings: a port that
// comes back is opened again, one that goes is closed. A port whose open
// failed is tried again only once it has left the list and come back (a
// replugged adapter), not every second while it stays busy.
void FlashRun::portsChanged()
{
    if (stopping || windingDown)
        return;
    QSet<QString> listed;
    for (const PortInfo &info : portSource()) {
        if (!matches(info, options.match))
            continue;
        listed.insert(info.name);
        FlashPort *port = portNamed(info.name);
        if (!port)
            addPort(PortLabel::of(info));
        else if (port->isAway() || (port->openFailed() && unlisted.remove(info.name)))
            port->open();
    }
    for (FlashPort *port : std::as_const(ports)) {
        if (listed.contains(port->name()))
            continue;
        if (port->openFailed())
            unlisted.insert(port->name());
        port->vanished();
    }
    watchForNoPort();
}

void FlashRun::addPort(const PortLabel &label)
{
    auto *port = new FlashPort(label, options.port, firmware, reporter, this);
    ports.append(port);
    connect(port, &FlashPort::deviceEnded, this, &FlashRun::logDevice);
    connect(port, &FlashPort::lineChanged, this, &FlashRun::watchForNoPort, Qt::QueuedConnection);
    // Judged once the ports being opened now are all in the list.
    connect(port, &FlashPort::finished, this, &FlashRun::portFinished, Qt::QueuedConnection);
    port->open();
}

bool FlashRun::matches(const PortInfo &port, const QString &text)
{
    const PortLabel label = PortLabel::of(port);
    for (const QString &field : {port.name, port.description, port.manufacturer, port.serialNumber, label.usbId}) {
        if (field.contains(text, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

void FlashRun::logDevice(const DeviceRecord &record)
{
    if (++devicesEnded == 1)
        reportMemory(QStringLiteral("after device 1"));
    if (options.logPath.isEmpty())
        return;
    const QString problem = log.append(record, QFileInfo(options.firmwarePath).fileName());
    if (!problem.isEmpty())
        recordLost(problem);
}

void FlashRun::reopenLog()
{
    if (options.logPath.isEmpty())
        return;
    const QString problem = log.reopen();
    if (problem.isEmpty())
        reporter.info({}, QStringLiteral("Log %1 opened again").arg(options.logPath));
    else
        recordLost(problem);
}

// A production record that cannot be kept ends the run before the next
// device; the transfers under way finish, since cutting them helps nobody.
void FlashRun::recordLost(const QString &problem)
{
    reporter.problem({}, problem);
    stopAfterTransfers(ExitWriteFailed);
}

void FlashRun::interrupt(const QString &signalName)
{
    if (stopping)
        return;
    const QString stopped = QStringLiteral("Stopped by %1").arg(signalName);
    if (ports.isEmpty())
        reporter.problem({}, stopped + QStringLiteral(" while waiting for a port"));
    for (FlashPort *port : std::as_const(ports)) {
        if (!port->isDone() && !port->isAway())
            reporter.problem(port->name(), stopped + u' ' + port->whereText());
    }
    stopAll(ExitInterrupted);
}

void FlashRun::stopAll(int exitCode)
{
    if (stopping)
        return;
    stopping = true;
    code = std::max(code, exitCode);
    for (FlashPort *port : std::as_const(ports))
        port->stop(TransferResult::Interrupted);
    end();
}

void FlashRun::stopAfterTransfers(int exitCode)
{
    code = std::max(code, exitCode);
    if (stopping || std::exchange(windingDown, true))
        return;
    portPoll.stop();
    noPortTimer.stop();
    for (FlashPort *port : std::as_const(ports))
        port->stopAfterTransfer();
    portFinished();
}

// --timeout ends a wait with no port open too, as for a --match that nothing
// matches yet; what is waited for is said once.
void FlashRun::watchForNoPort()
{
    const bool anyOpen = std::any_of(ports.cbegin(), ports.cend(), [](const FlashPort *port) {
        return port->isOpen();
    });
    if (anyOpen || stopping || windingDown || !options.allPorts) {
        noPortTimer.stop();
        return;
    }
    if (!std::exchange(waitingSaid, true) && ports.isEmpty()) {
        reporter.problem({}, options.match.isEmpty()
                                 ? QStringLiteral("No serial port yet; waiting for one to appear")
                                 : QStringLiteral("No port matches \"%1\" yet; waiting for one").arg(options.match));
    }
    if (options.port.timeoutMs > 0 && !noPortTimer.isActive())
        noPortTimer.start();
}

void FlashRun::noPortTimedOut()
{
    reporter.problem({}, QStringLiteral("Timed out: no port was open for %1 s")
                             .arg(CommandLine::secondsText(options.port.timeoutMs)));
    stopAll(ExitTimedOut);
}

void FlashRun::portFinished()
{
    if (stopping)
        return;
    const bool allDone = std::all_of(ports.cbegin(), ports.cend(), [](const FlashPort *port) {
        return port->isDone();
    });
    // With --all-ports and no device count, the run goes on for ports to come.
    if (!allDone || (options.allPorts && options.port.deviceCount == 0 && !windingDown))
        return;
    stopping = true;
    end();
}

void FlashRun::end()
{
    portPoll.stop();
    noPortTimer.stop();
    for (const FlashPort *port : std::as_const(ports))
        code = std::max(code, port->exitCode());
    // Whatever is being handled now finishes first: the last EOT is flushed
    // by the reception that sent it.
    QMetaObject::invokeMethod(this, [this] {
        reporter.summary(summaryRows(), code);
        reportMemory(QStringLiteral("at the end"));
        emit finished(code);
    }, Qt::QueuedConnection);
}

QList<PortSummary> FlashRun::summaryRows() const
{
    QList<PortSummary> rows;
    for (const FlashPort *port : ports)
        rows.append(port->summary());
    return rows;
}

void FlashRun::reportMemory(const QString &when)
{
    const qint64 kib = residentKiB();
    if (kib >= 0)
        reporter.detail({}, QStringLiteral("Memory: %1 KiB resident %2").arg(kib).arg(when));
}
