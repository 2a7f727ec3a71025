#ifndef FLASHCONSOLE_H
#define FLASHCONSOLE_H

#include "flashreport.h"

#include <QCollator>
#include <QElapsedTimer>
#include <QMap>
#include <QSize>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <limits>

// kavri-flash's readable output. Results go to stdout in every mode,
// problems to stderr. Progress is one line per port redrawn in place when
// stdout and stderr are one terminal, and a few plain lines on stdout
// otherwise, so a log stays short. With several ports every line names its
// port, and ports come in natural order (pts/2 before pts/10).
class FlashConsole : public FlashReporter
{
public:
    enum class Verbosity { Quiet, Normal, Verbose };

    FlashConsole(Verbosity verbosity, bool severalPorts, bool terminal, std::FILE *out = stdout,
                 std::FILE *err = stderr);

    void firmware(const QString &path, const FirmwareImage &image) override;
    void opened(const QString &port) override;
    void identified(const QString &port, const QByteArray &identity) override;
    void progress(const QString &port, quint64 sent, quint64 total, double seconds) override;
    void deviceEnded(const DeviceRecord &record) override;
    void lost(const QString &port) override;
    void summary(const QList<PortSummary> &ports, int exitCode) override;
    void listed(const QList<PortInfo> &ports) override;
    void problem(const QString &port, const QString &text) override;
    void info(const QString &port, const QString &text) override;
    void detail(const QString &port, const QString &text) override;

    // "[#######.......]  25% 2048/8192 B 11.4 kB/s 0:01 left", led by the
    // port and UID when several ports are served; at most columns wide.
    QString progressLine(const QString &port, quint64 sent, quint64 total, double seconds,
                         int columns = std::numeric_limits<int>::max()) const;

    // The screen the progress lines are fitted to when stderr is no terminal
    // that tells its size (as in tests); 80x24 unless set.
    void setScreenSize(QSize size) { assumedScreen = size; }

private:
    struct Progress
    {
        quint64 sent;
        quint64 total;
        double seconds;
    };

    void result(const QString &port, const QString &text);
    void printMilestone(const QString &port, quint64 sent, quint64 total);
    QString named(const QString &port, const QString &text) const;
    static QStringList tableLines(const QList<QStringList> &cells);
    bool portBefore(const QString &port, const QString &other) const;
    QSize screenSize() const;
    QStringList liveLines() const;
    QString blockStart() const;
    void drawLines();
    void clearLines();
    QString folded(const QString &text) const;
    void writeLine(std::FILE *stream, const QString &text);

    Verbosity verbosity;
    bool severalPorts;
    bool terminal;
    QMap<QString, QString> uids;         // port: the UID of its device
    QMap<QString, Progress> running;     // port: its latest progress, while its line is shown
    QMap<QString, int> nextMilestones;   // port: the next percent worth a plain line
    int linesShown = 0;                  // rows of the live block on the screen
    QSize assumedScreen{80, 24};
    QCollator portOrder;
    QElapsedTimer sinceRedraw;
};

#endif // FLASHCONSOLE_H
