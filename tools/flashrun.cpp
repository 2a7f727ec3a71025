#include "flashrun.h"

#include "firmwarefile.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <unistd.h>

namespace {

// How often --all-ports looks for new ports: an adapter plugged in is served
// within a second, and a listing costs next to nothing.
constexpr int PortWatchIntervalMs = 1000;

// The process's resident memory in KiB; -1 where the system does not say.
qint64 residentKiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    // "size resident shared ...", in pages.
    const QList<QByteArray> fields = statm.readAll().split(' ');
    bool ok = false;
    const qint64 pages = fields.value(1).toLongLong(&ok);
    return ok ? pages * sysconf(_SC_PAGESIZE) / 1024 : -1;
}

} // namespace

FlashRun::FlashRun(const FlashOptions &options, FlashReporter &reporter, PortSource portSource, QObject *parent)
    : QObject(parent)
    , options(options)
    , reporter(reporter)
    , portSource(std::move(portSource))
{
    this->options.allPorts |= !options.match.isEmpty();
    portWatch.setInterval(PortWatchIntervalMs);
    connect(&portWatch, &QTimer::timeout, this, &FlashRun::lookForPorts);
}

bool FlashRun::begin()
{
    const QString firmwareProblem = checkFirmware();
    if (!firmwareProblem.isEmpty()) {
        reporter.problem({}, firmwareProblem);
        code = ExitBadInput;
        return false;
    }
    const QString logProblem = options.logPath.isEmpty() ? QString() : log.open(options.logPath);
    if (!logProblem.isEmpty()) {
        reporter.problem({}, logProblem);
        code = ExitLogFailed;
        return false;
    }
    if (options.allPorts) {
        lookForPorts();
        portWatch.start();
        return true;
    }
    if (!openChosenPorts()) {
        code = ExitPortFailed;
        return false;
    }
    return true;
}

// A bad file never touches a line: it is checked before any port opens.
QString FlashRun::checkFirmware() const
{
    QFile file;
    quint32 size = 0;
    const QString problem = openFirmware(file, options.port.firmwarePath, size);
    if (!problem.isEmpty())
        return cannotSendText(options.port.firmwarePath, problem);
    reporter.detail({}, QStringLiteral("Firmware %1: %2 bytes, %3 blocks")
                            .arg(options.port.firmwarePath).arg(size).arg(TransferProtocol::blockCount(size)));
    return {};
}

bool FlashRun::openChosenPorts()
{
    QStringList names = options.portNames;
    if (names.isEmpty()) {
        const QList<PortInfo> listed = portSource();
        if (listed.isEmpty()) {
            reporter.problem({}, QStringLiteral("No serial port found; name one with --port"));
            return false;
        }
        names.append(listed.first().name);
    }
    bool anyOpen = false;
    for (const QString &name : std::as_const(names))
        anyOpen |= addPort(name);
    return anyOpen;
}

// Opens every listed port that matches and is not served yet. A port that
// failed is opened again only once it has gone from the list and come back
// (a replugged adapter), not every second while it stays busy.
void FlashRun::lookForPorts()
{
    QSet<QString> listed;
    for (const PortInfo &info : portSource()) {
        if (!matches(info, options.match))
            continue;
        listed.insert(info.name);
        const auto served = std::find_if(ports.crbegin(), ports.crend(), [&info](const FlashPort *port) {
            return port->name() == info.name;
        });
        if (served == ports.crend() || ((*served)->isDone() && gone.remove(info.name)))
            addPort(info.name);
    }
    for (const FlashPort *port : std::as_const(ports)) {
        if (port->isDone() && port->exitCode() == ExitPortFailed && !listed.contains(port->name()))
            gone.insert(port->name());
    }
}

bool FlashRun::addPort(const QString &name)
{
    auto *port = new FlashPort(name, options.port, reporter, this);
    ports.append(port);
    connect(port, &FlashPort::deviceEnded, this, &FlashRun::logDevice);
    connect(port, &FlashPort::firmwareFailed, this, [this] { stopAll(ExitBadInput); });
    // Judged once the ports being opened now are all in the list.
    connect(port, &FlashPort::finished, this, &FlashRun::portFinished, Qt::QueuedConnection);
    return port->open();
}

bool FlashRun::matches(const PortInfo &port, const QString &text)
{
    const QString usbId = QString::asprintf("%04x:%04x", port.vendorId, port.productId);
    for (const QString &field : {port.name, port.description, port.manufacturer, port.serialNumber, usbId}) {
        if (field.contains(text, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

void FlashRun::logDevice(const DeviceRecord &record)
{
    if (++devicesEnded == 1)
        reportMemory(QStringLiteral("after device 1"));
    if (!log.isOpen() || logFailed)
        return;
    const QString problem = log.append(record, QFileInfo(options.port.firmwarePath).fileName());
    if (problem.isEmpty())
        return;
    // A production record that cannot be kept ends the run before the next device.
    logFailed = true;
    reporter.problem({}, problem);
    stopAll(ExitLogFailed);
}

void FlashRun::interrupt(const QString &signalName)
{
    if (stopping)
        return;
    const QString stopped = QStringLiteral("Stopped by %1").arg(signalName);
    if (ports.isEmpty())
        reporter.problem({}, stopped + QStringLiteral(" while waiting for a port"));
    for (FlashPort *port : std::as_const(ports)) {
        if (!port->isDone())
            reporter.problem(port->name(), stopped + u' ' + port->whereText());
    }
    stopAll(ExitInterrupted);
}

void FlashRun::stopAll(int exitCode)
{
    if (stopping)
        return;
    stopping = true;
    code = exitCode;
    for (FlashPort *port : std::as_const(ports))
        port->stop(DeviceRecord::Result::Interrupted);
    end();
}

void FlashRun::portFinished()
{
    if (stopping)
        return;
    const bool allDone = std::all_of(ports.cbegin(), ports.cend(), [](const FlashPort *port) {
        return port->isDone();
    });
    // With --all-ports and no device count, the run goes on for ports to come.
    if (!allDone || (options.allPorts && options.port.deviceCount == 0))
        return;
    stopping = true;
    for (const FlashPort *port : std::as_const(ports))
        code = std::max(code, port->exitCode());
    end();
}

void FlashRun::end()
{
    portWatch.stop();
    // Whatever is being handled now finishes first: the last EOT is flushed
    // by the reception that sent it.
    QMetaObject::invokeMethod(this, [this] {
        QList<PortSummary> rows;
        for (FlashPort *port : std::as_const(ports)) {
            port->close();
            rows.append(port->summary());
        }
        reporter.summary(rows, code);
        reportMemory(QStringLiteral("at the end"));
        emit finished(code);
    }, Qt::QueuedConnection);
}

void FlashRun::reportMemory(const QString &when)
{
    const qint64 kib = residentKiB();
    if (kib >= 0)
        reporter.detail({}, QStringLiteral("Memory: %1 KiB resident %2").arg(kib).arg(when));
}
