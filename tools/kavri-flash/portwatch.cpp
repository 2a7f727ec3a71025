#include "portwatch.h"

#ifdef KAVRI_HAVE_UDEV
#include <QFile>

#include <libudev.h>
#endif

PortWatch::PortWatch(QObject *parent)
    : QObject(parent)
{
}

#ifdef KAVRI_HAVE_UDEV

PortWatch::~PortWatch()
{
    notifier.reset();
    if (monitor)
        udev_monitor_unref(monitor);
    if (context)
        udev_unref(context);
}

bool PortWatch::start()
{
    if (monitor)
        return true;
    context = udev_new();
    if (!context)
        return false;
    // udev's own events come once its rules have made the links and set the
    // permissions; with no udev daemon running, the kernel's are all there is.
    const char *source = QFile::exists(QStringLiteral("/run/udev/control")) ? "udev" : "kernel";
    monitor = udev_monitor_new_from_netlink(context, source);
    if (!monitor || udev_monitor_filter_add_match_subsystem_devtype(monitor, "tty", nullptr) < 0
        || udev_monitor_enable_receiving(monitor) < 0) {
        return false;
    }
    notifier = std::make_unique<QSocketNotifier>(udev_monitor_get_fd(monitor), QSocketNotifier::Read);
    connect(notifier.get(), &QSocketNotifier::activated, this, &PortWatch::drain);
    return true;
}

// Every event waiting is handed on, one by one and in order, so a port that
// went and came back between two looks is seen going and coming.
void PortWatch::drain()
{
    while (struct udev_device *device = udev_monitor_receive_device(monitor)) {
        const QString action = QString::fromLatin1(udev_device_get_action(device));
        const QString name = QString::fromLocal8Bit(udev_device_get_sysname(device));
        udev_device_unref(device);
        if (action == QLatin1String("add") || action == QLatin1String("remove"))
            emit portEvent(name, action == QLatin1String("remove"));
    }
}

#else

PortWatch::~PortWatch() = default;

bool PortWatch::start()
{
    return false;
}

#endif
