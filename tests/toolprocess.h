#ifndef TOOLPROCESS_H
#define TOOLPROCESS_H

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>

#include <QStringList>

#include <algorithm>
#include <functional>

// What the suites need to run a program as a user would and judge it.

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

struct Finished
{
    int exitCode = -1; // -1 when it crashed or was killed
    QString out;
    QString err;
};

// Waits for the process to end, killing it after timeoutMs.
inline Finished waitFor(QProcess &process, int timeoutMs)
{
    Finished result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

// Waits until what the process has written on channel satisfies done,
// leaving the output unread; false once timeoutMs pass with nothing new.
inline bool waitForOutput(QProcess &process, QProcess::ProcessChannel channel, int timeoutMs,
                          const std::function<bool(const QByteArray &output)> &done)
{
    process.setReadChannel(channel);
    bool found;
    while (!(found = done(process.peek(1 << 20))) && process.waitForReadyRead(timeoutMs)) {
    }
    process.setReadChannel(QProcess::StandardOutput);
    return found;
}

// A program that prints the paths of the lines it makes first, one a line
// (kavri-devsim, damaged-line), and is killed if it outlives its test.
class LineProcess
{
public:
    explicit LineProcess(const QString &program, const QStringList &leadingArguments = {})
        : program(program), leading(leadingArguments)
    {
    }
    ~LineProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }

    // Reads the first lineCount lines: the paths of its lines.
    bool start(const QStringList &arguments, int lineCount = 1, int timeoutMs = 15000)
    {
        process.start(program, leading + arguments);
        while (paths.size() < lineCount) {
            if (!process.canReadLine() && !process.waitForReadyRead(timeoutMs))
                return false;
            while (paths.size() < lineCount && process.canReadLine())
                paths.append(QString::fromLocal8Bit(process.readLine()).trimmed());
        }
        path = paths.first();
        return std::all_of(paths.cbegin(), paths.cend(), [](const QString &p) { return p.startsWith(u'/'); });
    }

    Finished finish(int timeoutMs = 15000) { return waitFor(process, timeoutMs); }
    bool waitForFinished(int milliseconds) { return process.waitForFinished(milliseconds); }
    void terminate() { process.terminate(); }

    QString path;
    QStringList paths;

private:
    QString program;
    QStringList leading;
    QProcess process;
};

#endif // TOOLPROCESS_H
