// kavri-flash's readable output as a terminal shows it: what FlashConsole
// writes is played on a small terminal model and the screen is compared.

#include "flashconsole.h"

#include <QTest>
#include <QThread>

#include <cstdio>

namespace {

constexpr quint64 totalBytes = 262144;
constexpr int terminalRows = 24;

// A terminal of columns x rows: text wraps once the last column is written
// (as the strictest terminals do), a newline on the last row scrolls, and
// the cursor moves up (ESC[nA), erases to the end of its line (ESC[K) or of
// the screen (ESC[J). stdout reaches it through a tty, which turns '\n'
// into "\r\n".
class Screen
{
public:
    Screen(int columns, int rows) : columns(columns), grid(rows, QString()) {}

    void play(const QString &bytes)
    {
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            const QChar c = bytes.at(i);
            if (c == u'\033')
                i = escape(bytes, i + 2); // past the '['
            else if (c == u'\r')
                column = 0;
            else if (c == u'\n')
                newline();
            else
                put(c);
        }
    }

    // The rows down to the last one written, without trailing blanks.
    QStringList text() const
    {
        QStringList rows;
        for (const QString &row : grid)
            rows += row.trimmed().isEmpty() ? QString() : row;
        while (!rows.isEmpty() && rows.last().isEmpty())
            rows.removeLast();
        return rows;
    }

    int scrolls = 0;

private:
    void put(QChar c)
    {
        QString &line = grid[row];
        line = line.leftJustified(column + 1);
        line[column] = c;
        if (++column == columns)
            newline();
    }

    void newline()
    {
        column = 0;
        if (row + 1 < grid.size()) {
            ++row;
            return;
        }
        grid.removeFirst();
        grid.append(QString());
        ++scrolls;
    }

    qsizetype escape(const QString &bytes, qsizetype at)
    {
        qsizetype end = at;
        while (bytes.at(end).isDigit())
            ++end;
        const int count = std::max(1, bytes.mid(at, end - at).toInt());
        const QChar command = bytes.at(end);
        if (command == u'A')
            row = std::max(0, row - count);
        else if (command == u'K' || command == u'J')
            grid[row].truncate(column);
        if (command == u'J')
            std::fill(grid.begin() + row + 1, grid.end(), QString());
        return end;
    }

    int columns;
    QStringList grid;
    int row = 0;
    int column = 0;
};

QString portName(int number)
{
    return QStringLiteral("pts/%1").arg(number);
}

// Everything written to stream so far, from the start.
QString written(std::FILE *stream)
{
    std::fflush(stream);
    std::rewind(stream);
    QByteArray bytes;
    char chunk[4096];
    while (const size_t read = std::fread(chunk, 1, sizeof chunk, stream))
        bytes.append(chunk, qsizetype(read));
    return QString::fromUtf8(bytes);
}

// Each port's progress once, drawn together once the redraw interval is over.
void drawPorts(FlashConsole &console, int ports, quint64 sent)
{
    for (int number = 1; number <= ports; ++number)
        console.progress(portName(number), sent, totalBytes, 1.0);
    QThread::msleep(120);
    console.progress(portName(1), sent, totalBytes, 1.0);
}

} // namespace

class TestFlashConsole : public QObject
{
    Q_OBJECT

private slots:
    void liveLines_data();
    void liveLines();
    void summaryTable_data();
    void summaryTable();
    void rate_data();
    void rate();
};

void TestFlashConsole::liveLines_data()
{
    QTest::addColumn<int>("columns");
    QTest::addColumn<int>("ports");
    QTest::addColumn<QStringList>("lost");
    QTest::addColumn<bool>("resultBetween"); // pts/1 ends, then pts/2 is drawn again
    QTest::addColumn<QStringList>("expected"); // how each row of the screen begins, top down

    QTest::newRow("a port lost") << 80 << 3 << QStringList{"pts/2"} << false << QStringList{"pts/1 ", "pts/3 "};
    QTest::newRow("every port lost") << 80 << 3 << QStringList{"pts/1", "pts/2", "pts/3"} << false
                                     << QStringList();
    // A line for several ports is some 100 characters at full width.
    QTest::newRow("line wider than the screen") << 80 << 1 << QStringList() << false << QStringList{"pts/1 "};
    QStringList crowded;
    for (int number = 1; number <= 22; ++number)
        crowded += portName(number) + u' ';
    crowded += QStringLiteral("... and 10 more ports running");
    QTest::newRow("more ports than rows") << 80 << 32 << QStringList() << false << crowded;
    // A device's record is one line where it fits, folded at a space where not.
    QTest::newRow("result between redraws") << 80 << 2 << QStringList() << true
                                            << QStringList{"pts/1: Download OK: UID 0A1B2C3D4E5F6071, 0 of 262144 bytes, 0 NAKs, 0.0 s",
                                                           "pts/2 "};
    QTest::newRow("result folded on a narrow screen")
        << 60 << 2 << QStringList() << true
        << QStringList{"pts/1: Download OK: UID 0A1B2C3D4E5F6071, 0 of 262144", "    bytes, 0 NAKs, 0.0 s", "pts/2 "};
}

// stdout and stderr are one terminal here: the same file, in writing order.
void TestFlashConsole::liveLines()
{
    QFETCH(int, columns);
    QFETCH(int, ports);
    QFETCH(QStringList, lost);
    QFETCH(bool, resultBetween);
    QFETCH(QStringList, expected);
    std::FILE *terminal = std::tmpfile();
    FlashConsole console(FlashConsole::Verbosity::Normal, true, true, terminal, terminal);
    console.setScreenSize(QSize(columns, terminalRows));

    drawPorts(console, ports, 2048);
    for (const QString &port : lost)
        console.lost(port);
    if (resultBetween) {
        DeviceRecord record;
        record.port.name = portName(1);
        record.identity = QByteArray::fromHex("0A1B2C3D4E5F6071EEEE0302FFFFFFFF");
        record.imageBytes = totalBytes;
        console.deviceEnded(record);
        console.progress(portName(2), totalBytes, totalBytes, 2.0);
    }

    Screen screen(columns, terminalRows);
    screen.play(written(terminal));
    std::fclose(terminal);
    const QStringList shown = screen.text();
    QCOMPARE(shown.size(), expected.size());
    for (qsizetype i = 0; i < shown.size(); ++i)
        QVERIFY2(shown[i].startsWith(expected[i]), qPrintable(shown[i]));
    QCOMPARE(screen.scrolls, 0);
}

void TestFlashConsole::summaryTable_data()
{
    QTest::addColumn<QStringList>("ports"); // as the run lists them
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("numbers in names") << QStringList{"pts/10", "pts/2", "pts/1"} << QStringList{"pts/1", "pts/2", "pts/10"};
    QTest::newRow("long name") << QStringList{"ttyUSB-fixture-left-07", "pts/2"}
                               << QStringList{"pts/2", "ttyUSB-fixture-left-07"};
    QTest::newRow("bad usage: no port, no table") << QStringList() << QStringList();
}

// Rows in natural port order, every column under its heading, what ended
// each port last.
void TestFlashConsole::summaryTable()
{
    QFETCH(QStringList, ports);
    QFETCH(QStringList, expected);
    std::FILE *out = std::tmpfile();
    FlashConsole console(FlashConsole::Verbosity::Normal, true, false, out, out);
    QList<PortSummary> rows;
    for (const QString &port : ports)
        rows.append({{port, {}, {}}, {3, 1, 0, 0, 0, 0}, 1048576, 91.5, "served 4"});
    console.summary(rows, 1);

    QStringList lines = written(out).split(u'\n', Qt::SkipEmptyParts);
    std::fclose(out);
    if (expected.isEmpty()) {
        QVERIFY2(lines.isEmpty(), qPrintable(lines.join(u'\n')));
        return;
    }
    QCOMPARE(lines.takeLast(), QStringLiteral("Exit status 1"));
    const QString header = lines.takeFirst();
    QCOMPARE(lines.size(), expected.size());
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QCOMPARE(lines[i].section(u' ', 0, 0), expected[i]);
        QCOMPARE(lines[i].indexOf("3 ok, 1 canceled"), header.indexOf("Devices"));
        QCOMPARE(lines[i].indexOf(" 1048576") + 8, header.indexOf("Acked") + 5);
        QCOMPARE(lines[i].indexOf(" 91.5") + 5, header.indexOf("Seconds") + 7);
        QCOMPARE(lines[i].mid(header.indexOf("Ended")), QStringLiteral("served 4"));
    }
}

void TestFlashConsole::rate_data()
{
    QTest::addColumn<quint64>("sent");
    QTest::addColumn<double>("seconds");
    QTest::addColumn<QString>("expected");

    // 8192 bytes: the device has taken all but the block last sent.
    QTest::newRow("first block on its way") << quint64(1024) << 0.09 << " 0.0 kB/s -:-- left";
    QTest::newRow("one block taken") << quint64(2048) << 0.5 << " 2.0 kB/s 0:04 left";
    QTest::newRow("all taken") << quint64(8192) << 2.0 << " 4.1 kB/s 0:00 left";
}

void TestFlashConsole::rate()
{
    QFETCH(quint64, sent);
    QFETCH(double, seconds);
    QFETCH(QString, expected);
    FlashConsole console(FlashConsole::Verbosity::Normal, false, true);
    QVERIFY2(console.progressLine("ttyUSB1", sent, 8192, seconds).endsWith(expected),
             qPrintable(console.progressLine("ttyUSB1", sent, 8192, seconds)));
}

QTEST_GUILESS_MAIN(TestFlashConsole)
#include "tst_flashconsole.moc"
