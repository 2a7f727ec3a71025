#ifndef PORTWATCH_H
#define PORTWATCH_H

#include <QObject>
#include <QSocketNotifier>
#include <QString>

#include <memory>

struct udev;
struct udev_monitor;

// The system's serial-port events as they happen (udev on Linux), so that a
// replug shorter than any poll is seen: the port goes, then comes back.
class PortWatch : public QObject
{
    Q_OBJECT
public:
    explicit PortWatch(QObject *parent = nullptr);
    ~PortWatch() override;

    // Starts listening. False where the system offers no events here (a
    // container without udev, another system): a poll then does the work.
    bool start();

signals:
    // A tty came (removed false) or went; name as the port list gives it ("ttyUSB0").
    void portEvent(const QString &name, bool removed);

private:
    void drain(); // udev's events, where kavri-flash is built with udev

    struct udev *context = nullptr;
    struct udev_monitor *monitor = nullptr;
    std::unique_ptr<QSocketNotifier> notifier;
};

#endif // PORTWATCH_H
