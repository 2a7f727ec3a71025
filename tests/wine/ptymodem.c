/*
 * Preloaded into Wine (LD_PRELOAD) by scripts/windows-check, so that a COM
 * port mapped onto a pseudo-terminal behaves as a serial port for Wine's
 * event wait.
 *
 * Wine's WaitCommEvent asks the line for its modem status, its interrupt
 * counters and its line status. A pseudo-terminal answers none of those
 * requests, and Wine then ends every wait as cancelled, which Qt Serial Port
 * takes for a lost port. Here a pseudo-terminal answers as a quiet cable
 * would: every modem line up, no line errors, the transmitter empty, and a
 * receive count that grows as bytes arrive. Every other request, and every
 * other file, goes to the C library as it is.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

/* Linux numbers the pseudo-terminal slaves (/dev/pts/N) with these majors. */
enum { PtySlaveFirstMajor = 136, PtySlaveLastMajor = 143 };

static int isPtySlave(int fd)
{
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode))
        return 0;
    const unsigned int major = major(status.st_rdev);
    return major >= PtySlaveFirstMajor && major <= PtySlaveLastMajor;
}

static int isLineRequest(unsigned long request)
{
    return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC
        || request == TIOCGICOUNT || request == TIOCSERGETLSR;
}

typedef int (*IoctlFunction)(int, unsigned long, void *);

static int realIoctl(int fd, unsigned long request, void *argument)
{
    static IoctlFunction next;
    if (!next)
        next = (IoctlFunction)dlsym(RTLD_NEXT, "ioctl");
    return next(fd, request, argument);
}

/* Wine reads a change in the receive count as bytes received. */
static int countReceived(int fd, struct serial_icounter_struct *counters)
{
    static int received;
    int waiting = 0;
    if (realIoctl(fd, FIONREAD, &waiting) != 0)
        return -1;
    received += waiting;
    memset(counters, 0, sizeof *counters);
    counters->rx = received;
    return 0;
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);

    if (!isLineRequest(request) || !isPtySlave(fd))
        return realIoctl(fd, request, argument);

    switch (request) {
    case TIOCMGET:
        *(int *)argument = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CD;
        return 0;
    case TIOCGICOUNT:
        return countReceived(fd, argument);
    case TIOCSERGETLSR:
        *(unsigned int *)argument = TIOCSER_TEMT;
        return 0;
    default: /* setting the modem lines: a pseudo-terminal has none to set */
        return 0;
    }
}
