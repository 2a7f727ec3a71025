#include "flashconsole.h"

#include "deviceidentity.h"
#include "transferprotocol.h"

#include <algorithm>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#endif

namespace {

constexpr int barWidth = 30;
// Redrawing costs a write to the terminal; a few times a second is all the
// eye needs, and the transfer's own replies are not delayed by it.
constexpr qint64 redrawIntervalMs = 100;
constexpr int milestoneStep = 25; // percent between plain progress lines

QString duration(double seconds)
{
    const int whole = int(seconds + 0.5);
    return QString::asprintf("%d:%02d", whole / 60, whole % 60);
}

// "[#####.....]" width characters inside, or nothing where there is no room.
QString bar(quint64 sent, quint64 total, int width)
{
    if (width <= 0)
        return {};
    const int filled = int(sent * width / total);
    return u'[' + QString(filled, u'#') + QString(width - filled, u'.') + u']';
}

} // namespace

FlashConsole::FlashConsole(Verbosity verbosity, bool severalPorts, bool terminal, std::FILE *out, std::FILE *err)
    : FlashReporter(out, err)
    , verbosity(verbosity)
    , severalPorts(severalPorts)
    , terminal(terminal)
    // Port names are the system's, not text in the user's language: one
    // collation orders them alike everywhere, the C locale included, whose
    // collator would ignore the numeric mode.
    , portOrder(QLocale(QLocale::English))
{
    portOrder.setNumericMode(true);
}

void FlashConsole::firmware(const QString &path, const FirmwareImage &image)
{
    info({}, QStringLiteral("Firmware %1: %2 bytes, %3 blocks")
                 .arg(path).arg(image.bytes.size())
                 .arg(TransferProtocol::blockCount(quint32(image.bytes.size()))));
    info({}, QStringLiteral("SHA-256 %1").arg(image.sha256));
}

void FlashConsole::opened(const QString &port)
{
    info(port, QStringLiteral("Opened %1; waiting for a device").arg(port));
}

void FlashConsole::identified(const QString &port, const QByteArray &identity)
{
    uids.insert(port, DeviceIdentity(identity).uidHex());
    info(port, DeviceIdentity(identity).text());
}

void FlashConsole::progress(const QString &port, quint64 sent, quint64 total, double seconds)
{
    if (verbosity == Verbosity::Quiet)
        return;
    if (!terminal) {
        printMilestone(port, sent, total);
        return;
    }
    running.insert(port, {sent, total, seconds});
    const bool done = sent >= total;
    if (linesShown > 0 && !done && sinceRedraw.elapsed() < redrawIntervalMs)
        return;
    drawLines();
}

QString FlashConsole::progressLine(const QString &port, quint64 sent, quint64 total, double seconds, int columns) const
{
    // The last block queued is still on its way until the device answers:
    // counted at once, it made the first rate several times the line's.
    const quint64 taken = sent < total ? sent - std::min<quint64>(sent, TransferProtocol::blockSize) : total;
    const double rate = seconds > 0 ? taken / seconds : 0;
    const QString left = rate > 0 ? duration((total - taken) / rate) : QStringLiteral("-:--");
    const QString lead = severalPorts ? QStringLiteral("%1 %2 ").arg(port, -12).arg(uids.value(port), -16) : QString();
    const QString figures = QStringLiteral(" %1% %2/%3 B %4 kB/s %5 left")
                                .arg(int(sent * 100 / total), 3)
                                .arg(sent).arg(total)
                                .arg(rate / 1000, 0, 'f', 1)
                                .arg(left);
    // On a narrow screen the bar gives way first, then the tail: the port,
    // UID and percent lead the line and say the most.
    const qsizetype room = columns - lead.size() - figures.size() - 2; // 2: the bar's brackets
    return (lead + bar(sent, total, int(std::min<qsizetype>(barWidth, room))) + figures).left(columns);
}

void FlashConsole::printMilestone(const QString &port, quint64 sent, quint64 total)
{
    const int percent = int(sent * 100 / total);
    int &next = nextMilestones[port];
    if (sent == 0)
        next = milestoneStep;
    if (percent < next)
        return;
    writeLine(out, named(port, QStringLiteral("Progress: %1% (%2 of %3 bytes)").arg(percent).arg(sent).arg(total)));
    next = (percent / milestoneStep + 1) * milestoneStep;
}

// One line per device: how it ended, then what it took.
void FlashConsole::deviceEnded(const DeviceRecord &record)
{
    const QString &port = record.port.name;
    running.remove(port);
    nextMilestones.remove(port); // the next device's progress starts afresh
    const QString bytes = record.ackedBytes == record.imageBytes
        ? QStringLiteral("%1 bytes").arg(record.imageBytes)
        : QStringLiteral("%1 of %2 bytes").arg(record.ackedBytes).arg(record.imageBytes);
    result(port, QStringLiteral("%1: UID %2, %3, %4 NAKs, %5 s")
                     .arg(resultText(record.result, record.blocksSent()), DeviceIdentity(record.identity).uidHex(), bytes)
                     .arg(record.naks)
                     .arg(record.seconds, 0, 'f', 1));
}

void FlashConsole::lost(const QString &port)
{
    running.remove(port); // the problem line said it
    drawLines();
}

// A row per port, in natural port order, that says what its devices came to
// and what ended it; compact enough for 80 columns. Bad usage, where no port
// was taken, prints nothing.
void FlashConsole::summary(const QList<PortSummary> &ports, int exitCode)
{
    if (!severalPorts || ports.isEmpty())
        return; // one port's devices and its end were said as they came
    QList<PortSummary> rows = ports;
    std::sort(rows.begin(), rows.end(), [this](const PortSummary &row, const PortSummary &other) {
        return portBefore(row.port.name, other.port.name);
    });
    QList<QStringList> cells{{QStringLiteral("Port"), QStringLiteral("Devices"), QStringLiteral("Acked"),
                              QStringLiteral("Seconds"), QStringLiteral("Ended")}};
    for (const PortSummary &row : std::as_const(rows)) {
        QStringList devices;
        for (int i = 0; i < flashResultCount; ++i) {
            if (row.results[size_t(i)] > 0)
                devices.append(QStringLiteral("%1 %2").arg(row.results[size_t(i)]).arg(resultWord(TransferResult(i))));
        }
        cells.append({row.port.name, devices.isEmpty() ? QStringLiteral("-") : devices.join(QStringLiteral(", ")),
                      QString::number(row.ackedBytes), QString::number(row.seconds, 'f', 1), row.ended});
    }
    for (const QString &line : tableLines(cells))
        result({}, line);
    result({}, QStringLiteral("Exit status %1").arg(exitCode));
}

void FlashConsole::listed(const QList<PortInfo> &ports)
{
    if (ports.isEmpty())
        writeLine(out, QStringLiteral("No serial ports found"));
    for (const PortInfo &port : ports)
        writeLine(out, portDescription(port));
}

void FlashConsole::problem(const QString &port, const QString &text)
{
    clearLines();
    writeLine(err, problemLine(named(port, text)));
    drawLines();
}

void FlashConsole::info(const QString &port, const QString &text)
{
    if (verbosity != Verbosity::Quiet)
        result(port, text);
}

void FlashConsole::detail(const QString &port, const QString &text)
{
    if (verbosity == Verbosity::Verbose)
        result(port, text);
}

void FlashConsole::result(const QString &port, const QString &text)
{
    clearLines();
    writeLine(out, named(port, text));
    drawLines();
}

// With several ports a line says whose it is.
QString FlashConsole::named(const QString &port, const QString &text) const
{
    return severalPorts ? withPort(port, text) : text;
}

// Columns two spaces apart, each as wide as its widest cell; the numbers
// (the middle columns) to the right, the texts to the left.
QStringList FlashConsole::tableLines(const QList<QStringList> &cells)
{
    QList<qsizetype> widths(cells.first().size(), 0);
    for (const QStringList &row : cells) {
        for (qsizetype column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], row[column].size());
    }
    QStringList lines;
    for (const QStringList &row : cells) {
        QString line = row[0].leftJustified(widths[0]) + QStringLiteral("  ") + row[1].leftJustified(widths[1]);
        for (qsizetype column = 2; column < row.size() - 1; ++column)
            line += QStringLiteral("  ") + row[column].rightJustified(widths[column]);
        lines.append((line + QStringLiteral("  ") + row.last()).trimmed());
    }
    return lines;
}

bool FlashConsole::portBefore(const QString &port, const QString &other) const
{
    return portOrder.compare(port, other) < 0;
}

// Read at every redraw, so a resized window is drawn to its new size.
QSize FlashConsole::screenSize() const
{
#ifdef Q_OS_UNIX
    winsize size{};
    if (ioctl(fileno(err), TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0)
        return QSize(size.ws_col, size.ws_row);
#endif
    return assumedScreen;
}

// The lines of the live block. Each stays a column short of the screen, as
// some terminals wrap once the last column is written: a wrapped line takes
// two rows, and the redraw, moving up a row a line, would leave fragments.
// The block stays shorter than the screen, since the cursor cannot move up
// past the top row to redraw it; the ports that do not fit are counted on
// its last line.
QStringList FlashConsole::liveLines() const
{
    const QSize screen = screenSize();
    const int columns = screen.width() - 1;
    const qsizetype room = std::max(1, screen.height() - 1);
    QStringList ports = running.keys();
    std::sort(ports.begin(), ports.end(), [this](const QString &port, const QString &other) {
        return portBefore(port, other);
    });
    const qsizetype drawn = ports.size() <= room ? ports.size() : room - 1;
    QStringList lines;
    for (const QString &port : ports.first(drawn)) {
        const Progress at = running.value(port);
        lines += progressLine(port, at.sent, at.total, at.seconds, columns);
    }
    if (drawn < ports.size())
        lines += QStringLiteral("... and %1 more ports running").arg(ports.size() - drawn).left(columns);
    return lines;
}

// The start of the live block's first row, from the end of its last.
QString FlashConsole::blockStart() const
{
    return (linesShown > 1 ? QStringLiteral("\033[%1A").arg(linesShown - 1) : QString()) + u'\r';
}

// The progress lines live on stderr, drawn over themselves, so they never
// mix into results piped from stdout. What the block drew before and no
// longer draws is erased with it.
void FlashConsole::drawLines()
{
    if (!terminal)
        return;
    if (running.isEmpty()) {
        clearLines();
        return;
    }
    const QStringList lines = liveLines();
    write(err, (blockStart() + lines.join(QStringLiteral("\033[K\n")) + QStringLiteral("\033[J")).toLocal8Bit());
    linesShown = int(lines.size());
    sinceRedraw.start();
}

void FlashConsole::clearLines()
{
    if (linesShown == 0)
        return;
    write(err, (blockStart() + QStringLiteral("\033[J")).toLocal8Bit());
    linesShown = 0;
}

// On a terminal a line too long for the screen is folded at its spaces, the
// rest indented, and stays a column short of the screen as the live lines do;
// through a pipe every line stays whole, one record a line.
QString FlashConsole::folded(const QString &text) const
{
    const int width = screenSize().width() - 1;
    if (!terminal || text.size() <= width)
        return text;
    QStringList lines;
    for (const QString &part : text.split(u'\n')) {
        QString line;
        for (const QString &word : part.split(u' ')) {
            if (!line.isEmpty() && line.size() + 1 + word.size() > width) {
                lines.append(line);
                line = QStringLiteral("    ") + word;
            } else {
                line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
            }
        }
        lines.append(line);
    }
    return lines.join(u'\n');
}

void FlashConsole::writeLine(std::FILE *stream, const QString &text)
{
    write(stream, (folded(text) + u'\n').toLocal8Bit());
}
