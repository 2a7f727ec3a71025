#ifndef FLASHCONSOLE_H
#define FLASHCONSOLE_H

#include <QElapsedTimer>
#include <QString>

// Everything kavri-flash tells the user. Results go to stdout in every mode,
// problems to stderr; progress is a redrawn bar when stderr is a terminal and
// a few plain lines otherwise, so a log stays short.
class FlashConsole
{
public:
    enum class Verbosity { Quiet, Normal, Verbose };

    explicit FlashConsole(Verbosity verbosity);

    void result(const QString &text);  // always
    void info(const QString &text);    // unless quiet
    void detail(const QString &text);  // only when verbose
    void problem(const QString &text); // always, to stderr

    // sent of total bytes after seconds; total > 0.
    void progress(quint64 sent, quint64 total, double seconds);

private:
    void drawBar(quint64 sent, quint64 total, double seconds);
    void printMilestone(quint64 sent, quint64 total);
    void clearBar();

    Verbosity m_verbosity;
    bool m_barOnTerminal;
    bool m_barShown = false;
    QElapsedTimer m_sinceRedraw;
    int m_nextMilestone = 0;
};

#endif // FLASHCONSOLE_H
