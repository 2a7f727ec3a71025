#include "flashconsole.h"

#include "deviceidentity.h"
#include "transferprotocol.h"

#include <algorithm>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#endif

namespace {

constexpr int BarWidth = 30;
// Redrawing costs a write to the terminal; a few times a second is all the
// eye needs, and the transfer's own replies are not delayed by it.
constexpr qint64 RedrawIntervalMs = 100;
constexpr int MilestoneStep = 25; // percent between plain progress lines

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
    info({}, QStringLiteral("Firmware %1: %2 bytes, %3 blocks, SHA-256 %4")
                 .arg(path).arg(image.bytes.size())
                 .arg(TransferProtocol::blockCount(quint32(image.bytes.size())))
                 .arg(image.sha256));
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
    if (linesShown > 0 && !done && sinceRedraw.elapsed() < RedrawIntervalMs)
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
    return (lead + bar(sent, total, int(std::min<qsizetype>(BarWidth, room))) + figures).left(columns);
}

void FlashConsole::printMilestone(const QString &port, quint64 sent, quint64 total)
{
    const int percent = int(sent * 100 / total);
    int &next = nextMilestones[port];
    if (sent == 0)
        next = MilestoneStep;
    if (percent < next)
        return;
    writeLine(out, named(port, QStringLiteral("Progress: %1% (%2 of %3 bytes)").arg(percent).arg(sent).arg(total)));
    next = (percent / MilestoneStep + 1) * MilestoneStep;
}

void FlashConsole::deviceEnded(const DeviceRecord &record)
{
    const QString &port = record.port.name;
    running.remove(port);
    nextMilestones.remove(port); // the next device's progress starts afresh
    using Result = TransferResult;
    if (record.result != Result::PortLost && record.result != Result::TimedOut && record.result != Result::Interrupted)
        result(port, resultText(record.result, record.blocksSent()));
    result(port, QStringLiteral("Summary: UID %1, V%2, %3 of %4 bytes and %5 blocks acknowledged, %6 NAKs, %7 s, %8")
                     .arg(DeviceIdentity(record.identity).uidHex(), DeviceIdentity(record.identity).versionText())
                     .arg(record.ackedBytes)
                     .arg(record.imageBytes)
                     .arg(record.ackedBlocks)
                     .arg(record.naks)
                     .arg(record.seconds, 0, 'f', 3)
                     .arg(resultText(record.result, record.blocksSent())));
}

void FlashConsole::lost(const QString &port)
{
    running.remove(port); // the problem line said it
    drawLines();
}

void FlashConsole::summary(const QList<PortSummary> &ports, int exitCode)
{
    if (!severalPorts)
        return; // the one port's devices each had their summary line
    QList<PortSummary> rows = ports;
    std::sort(rows.begin(), rows.end(), [this](const PortSummary &row, const PortSummary &other) {
        return portBefore(row.port.name, other.port.name);
    });
    int nameWidth = 12;
    for (const PortSummary &row : rows)
        nameWidth = std::max(nameWidth, int(row.port.name.size()));
    // A column for every result word, headed by the word the JSON uses.
    QString header = QStringLiteral("%1").arg(QStringLiteral("Port"), -nameWidth);
    for (int i = 0; i < flashResultCount; ++i) {
        const QString word = resultWord(TransferResult(i));
        header += QStringLiteral(" %1").arg(word, std::max(4, int(word.size())));
    }
    result({}, header + QStringLiteral(" %1 %2").arg(QStringLiteral("acked bytes"), 12).arg(QStringLiteral("seconds"), 9));
    for (const PortSummary &row : rows) {
        QString line = QStringLiteral("%1").arg(row.port.name, -nameWidth);
        for (int i = 0; i < flashResultCount; ++i) {
            const int width = std::max(4, int(resultWord(TransferResult(i)).size()));
            line += QStringLiteral(" %1").arg(row.results[size_t(i)], width);
        }
        result({}, line + QStringLiteral(" %1 %2").arg(row.ackedBytes, 12).arg(row.seconds, 9, 'f', 3));
    }
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

void FlashConsole::writeLine(std::FILE *stream, const QString &text)
{
    write(stream, (text + u'\n').toLocal8Bit());
}
