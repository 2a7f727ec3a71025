#include "flashconsole.h"

#include "commandline.h"

#include <cstdio>
#include <unistd.h>

namespace {

constexpr int BarWidth = 30;
// Redrawing the bar costs a write to the terminal; a few times a second is
// all the eye needs, and the transfer's own replies are not delayed by it.
constexpr qint64 RedrawIntervalMs = 100;
constexpr int MilestoneStep = 25; // percent between plain progress lines

// The bar lives on stderr, drawn over itself, so it never mixes into results
// piped from stdout.
void drawOnStderr(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

QString duration(double seconds)
{
    const int whole = int(seconds + 0.5);
    return QString::asprintf("%d:%02d", whole / 60, whole % 60);
}

} // namespace

FlashConsole::FlashConsole(Verbosity verbosity)
    : m_verbosity(verbosity)
    , m_barOnTerminal(isatty(STDERR_FILENO))
{
}

void FlashConsole::result(const QString &text)
{
    clearBar();
    CommandLine::printLine(text);
}

void FlashConsole::info(const QString &text)
{
    if (m_verbosity != Verbosity::Quiet)
        result(text);
}

void FlashConsole::detail(const QString &text)
{
    if (m_verbosity == Verbosity::Verbose)
        result(text);
}

void FlashConsole::problem(const QString &text)
{
    clearBar();
    CommandLine::printError(text);
}

void FlashConsole::progress(quint64 sent, quint64 total, double seconds)
{
    if (m_verbosity == Verbosity::Quiet)
        return;
    if (m_barOnTerminal)
        drawBar(sent, total, seconds);
    else
        printMilestone(sent, total);
}

void FlashConsole::drawBar(quint64 sent, quint64 total, double seconds)
{
    const bool done = sent >= total;
    if (m_barShown && !done && m_sinceRedraw.elapsed() < RedrawIntervalMs)
        return;
    m_sinceRedraw.start();
    const int filled = int(sent * BarWidth / total);
    const double rate = seconds > 0 ? sent / seconds : 0;
    const QString left = rate > 0 ? duration((total - sent) / rate) : QStringLiteral("-:--");
    drawOnStderr(QStringLiteral("\r[%1%2] %3% %4/%5 B %6 kB/s %7 left ")
                        .arg(QString(filled, u'#'), QString(BarWidth - filled, u'.'))
                        .arg(int(sent * 100 / total), 3)
                        .arg(sent).arg(total)
                        .arg(rate / 1000, 0, 'f', 1)
                        .arg(left));
    m_barShown = true;
}

void FlashConsole::printMilestone(quint64 sent, quint64 total)
{
    const int percent = int(sent * 100 / total);
    if (sent == 0)
        m_nextMilestone = MilestoneStep;
    if (percent < m_nextMilestone)
        return;
    CommandLine::printLine(QStringLiteral("Progress: %1% (%2 of %3 bytes)").arg(percent).arg(sent).arg(total));
    m_nextMilestone = (percent / MilestoneStep + 1) * MilestoneStep;
}

void FlashConsole::clearBar()
{
    if (!m_barShown)
        return;
    drawOnStderr(QStringLiteral("\r\033[K"));
    m_barShown = false;
}
