#ifndef TOOLPROCESS_H
#define TOOLPROCESS_H

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>

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

#endif // TOOLPROCESS_H
