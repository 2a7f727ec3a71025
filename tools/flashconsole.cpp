#include "flashconsole.h"

#include "transferprotocol.h"

#include <algorithm>

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

} // namespace

FlashConsole::FlashConsole(Verbosity verbosity, bool severalPorts, bool terminal, std::FILE *out, std::FILE *err)
    : FlashReporter(out, err)
    , verbosity(verbosity)
    , severalPorts(severalPorts)
    , terminal(terminal)
{
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
    uids.insert(port, TransferProtocol::uidHex(identity));
    info(port, TransferProtocol::identityText(identity));
}

void FlashConsole::progress(const QString &port, quint64 sent, quint64 total, double seconds)
{
    if (verbosity == Verbosity::Quiet)
        return;
    if (!terminal) {
        printMilestone(port, sent, total);
        return;
    }
    lines.insert(port, progressLine(port, sent, total, seconds));
    const bool done = sent >= total;
    if (linesShown > 0 && !done && sinceRedraw.elapsed() < RedrawIntervalMs)
        return;
    drawLines();
}

QString FlashConsole::progressLine(const QString &port, quint64 sent, quint64 total, double seconds) const
{
    const int filled = int(sent * BarWidth / total);
    const double rate = seconds > 0 ? sent / seconds : 0;
    const QString left = rate > 0 ? duration((total - sent) / rate) : QStringLiteral("-:--");
    const QString lead = severalPorts ? QStringLiteral("%1 %2 ").arg(port, -12).arg(uids.value(port), -16) : QString();
    return lead + QStringLiteral("[%1%2] %3% %4/%5 B %6 kB/s %7 left")
                      .arg(QString(filled, u'#'), QString(BarWidth - filled, u'.'))
                      .arg(int(sent * 100 / total), 3)
                      .arg(sent).arg(total)
                      .arg(rate / 1000, 0, 'f', 1)
                      .arg(left);
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
    lines.remove(port);
    nextMilestones.remove(port); // the next device's progress starts afresh
    using Result = DeviceRecord::Result;
    if (record.result != Result::PortLost && record.result != Result::TimedOut && record.result != Result::Interrupted)
        result(port, record.resultText());
    result(port, QStringLiteral("Summary: UID %1, V%2, %3 of %4 bytes and %5 blocks acknowledged, %6 NAKs, %7 s, %8")
                     .arg(TransferProtocol::uidHex(record.identity), TransferProtocol::versionText(record.identity))
                     .arg(record.ackedBytes)
                     .arg(record.imageBytes)
                     .arg(record.ackedBlocks)
                     .arg(record.naks)
                     .arg(record.seconds, 0, 'f', 3)
                     .arg(record.resultText()));
}

void FlashConsole::lost(const QString &port)
{
    lines.remove(port); // the problem line said it
}

void FlashConsole::summary(const QList<PortSummary> &ports, int exitCode)
{
    if (!severalPorts)
        return; // the one port's devices each had their summary line
    // A column for every result word, headed by the word the JSON uses.
    QString header = QStringLiteral("%1").arg(QStringLiteral("Port"), -12);
    for (int i = 0; i < DeviceRecord::ResultCount; ++i) {
        const QString word = DeviceRecord::resultWord(DeviceRecord::Result(i));
        header += QStringLiteral(" %1").arg(word, std::max(4, int(word.size())));
    }
    result({}, header + QStringLiteral(" %1 %2").arg(QStringLiteral("acked bytes"), 12).arg(QStringLiteral("seconds"), 9));
    for (const PortSummary &row : ports) {
        QString line = QStringLiteral("%1").arg(row.port.name, -12);
        for (int i = 0; i < DeviceRecord::ResultCount; ++i) {
            const int width = std::max(4, int(DeviceRecord::resultWord(DeviceRecord::Result(i)).size()));
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
    writeLine(err, QStringLiteral("kavri-flash: ") + named(port, text));
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

// With several ports a line says whose it is, unless it names the port already.
QString FlashConsole::named(const QString &port, const QString &text) const
{
    if (!severalPorts || port.isEmpty() || text.contains(port))
        return text;
    return port + QStringLiteral(": ") + text;
}

// The progress lines live on stderr, drawn over themselves, so they never
// mix into results piped from stdout.
void FlashConsole::drawLines()
{
    if (!terminal || lines.isEmpty())
        return;
    QString text;
    if (linesShown > 1)
        text += QStringLiteral("\033[%1A").arg(linesShown - 1);
    text += u'\r';
    text += QStringList(lines.values()).join(QStringLiteral("\033[K\n")) + QStringLiteral("\033[K");
    write(err, text.toLocal8Bit());
    linesShown = int(lines.size());
    sinceRedraw.start();
}

void FlashConsole::clearLines()
{
    if (linesShown == 0)
        return;
    const QString up = linesShown > 1 ? QStringLiteral("\033[%1A").arg(linesShown - 1) : QString();
    write(err, (up + QStringLiteral("\r\033[J")).toLocal8Bit());
    linesShown = 0;
}

void FlashConsole::writeLine(std::FILE *stream, const QString &text)
{
    write(stream, (text + u'\n').toLocal8Bit());
}
