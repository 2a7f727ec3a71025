#ifndef DEVICELINE_H
#define DEVICELINE_H

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>

// The device's end of a serial line: a pseudo-terminal whose slave a host
// opens, or a real serial port. It moves raw bytes, watches the host open and
// close a pseudo-terminal, and keeps an optional symbolic link pointing at it.
class DeviceLine : public QObject
{
    Q_OBJECT
public:
    explicit DeviceLine(QObject *parent = nullptr);
    ~DeviceLine() override;

    // Creates the pseudo-terminal with the slave already raw, so nothing is
    // echoed or translated before the host gets to configure it.
    bool openPty();
    // Uses the serial port at path, raw at 115200 baud, in place of a
    // pseudo-terminal; slavePath() stays empty.
    bool openPort(const QString &path);
    // Reports the host opening and closing the slave (pseudo-terminal only).
    bool watchHost();
    // Points the link (if set) at the slave. Made under a temporary name and
    // renamed over the old one, so a host looking it up finds either no line
    // or a whole one.
    bool pointLink();
    void setLinkPath(const QString &path) { linkPath = path; }
    // Removes the link first, so a host that notices the hang-up cannot find
    // the dead line under it again; the host sees a hang-up.
    void close();

    QString errorString() const { return error; }
    QString slavePath() const { return slaveDevicePath; }
    bool isOpen() const { return lineFd >= 0; }
    bool isHostConnected() const { return hostOpenCount > 0; }

    // Queues bytes for the host and writes what the line takes now.
    void write(const QByteArray &bytes);

signals:
    void received(const QByteArray &bytes);
    // Everything queued by write() is on the line.
    void drained();
    // Reading or writing failed: the line is gone.
    void failed();
    void hostOpened();
    void hostClosed();

private:
    void attach(int fd);
    void readAvailable();
    void writePending();
    void readHostEvents();
    void stopWatchingHost();
    void removeLink();

    int lineFd = -1; // the device's end: the pty master or the real port
    int slaveFd = -1;
    int hostWatchFd = -1;
    int hostOpenCount = 0;
    QString slaveDevicePath;
    QString linkPath;
    bool linkMade = false;
    QString error;
    QByteArray pendingWrite;
    QSocketNotifier readNotifier{QSocketNotifier::Read};
    QSocketNotifier writeNotifier{QSocketNotifier::Write};
    QSocketNotifier hostWatchNotifier{QSocketNotifier::Read};
};

#endif // DEVICELINE_H
