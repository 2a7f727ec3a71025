// damaged-line: the serial line between a host and a device, both on
// pseudo-terminals, carrying bytes at 115200 baud as a real line would and
// damaging them once, as noise, a loose contact or a swapped board would.
//
//   damaged-line DEVICE-PTY [FAULT]
//
// It prints the path the host opens as its port, opens DEVICE-PTY once the
// host has opened that path, and forwards until the host closes its port or
// the device's line goes away, when it hangs up the host's line too. FAULT:
//   stray-to-device:XX:K  the byte 0xXX right before the host's K-th frame
//   drop-stx:K            the K-th frame loses its STX
//   flip-to-device:B:O:K  bit B of byte O of the K-th frame flips
//   stray-to-host:XX:K    the byte 0xXX right before the device's K-th reply
//                         (ACK, NAK or CAN)
//   flip-to-host:B:K      bit B of the device's K-th reply flips
//   cut:N                 the host misses the device's first N bytes, as when
//                         it opens the port in the middle of an announcement
//   announce-again        the device's announcement comes again after the
//                         greeting, as when a board resets
//   swap:K                after the K-th frame the board is pulled and another
//                         one announces itself on the same line, again every
//                         300 ms until the host answers
// Frames and replies are counted from 1, resends included. On exit it says
// on stderr whether the fault was applied.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/inotify.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr long long byteNs = 10LL * 1'000'000'000 / 115200; // 8N1: ten bits a byte
constexpr unsigned char STX = 0x02, ETX = 0x03, ACK = 0x06, NAK = 0x15, CAN = 0x18;
constexpr int frameLength = 1 + 1024 + 2;
constexpr int announcementLength = 17;
constexpr int greetingLength = 8;
// A device keeps the line quiet this long before it announces itself.
constexpr long long announceQuietNs = 30'000'000;
// How long after the pull the other board announces itself, and how often
// again until the host answers.
constexpr long long swapDelayNs = 100'000'000;
constexpr long long announceEveryNs = 300'000'000;

long long nowNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

// One direction of the line: each byte arrives one byte time after the one
// before it, or after a pause.
class Direction
{
public:
    void push(unsigned char byte, long long now)
    {
        busyUntil = std::max(busyUntil, now) + byteNs;
        queue.emplace_back(busyUntil, byte);
    }
    void pause(long long now, long long ns) { busyUntil = std::max(busyUntil, now) + ns; }
    long long nextDue() const { return queue.empty() ? -1 : queue.front().first; }
    bool isEmpty() const { return queue.empty(); }

    // Writes every byte that has arrived by now; false once fd is gone.
    bool flush(int fd, long long now)
    {
        Bytes due;
        for (auto it = queue.begin(); it != queue.end() && it->first <= now; ++it)
            due.push_back(it->second);
        if (due.empty())
            return true;
        const ssize_t written = ::write(fd, due.data(), due.size());
        if (written < 0)
            return errno == EAGAIN || errno == EINTR;
        queue.erase(queue.begin(), queue.begin() + written);
        return true;
    }

private:
    std::deque<std::pair<long long, unsigned char>> queue;
    long long busyUntil = 0;
};

struct Fault
{
    std::string kind;
    int numbers[3] = {0, 0, 0};
    bool applied = false;

    bool is(const char *name) const { return kind == name && !applied; }
};

Fault parseFault(const std::string &text)
{
    Fault fault;
    const size_t colon = text.find(':');
    fault.kind = text.substr(0, colon);
    size_t at = colon;
    for (int &number : fault.numbers) {
        if (at == std::string::npos)
            break;
        const size_t next = text.find(':', at + 1);
        const int base = &number == fault.numbers && fault.kind.rfind("stray", 0) == 0 ? 16 : 10;
        number = int(std::strtol(text.substr(at + 1, next - at - 1).c_str(), nullptr, base));
        at = next;
    }
    return fault;
}

class DamagedLine
{
public:
    explicit DamagedLine(Fault fault) : fault(std::move(fault)) {}

    // What the host sent: forwarded, frames counted.
    void fromHost(unsigned char byte, long long now)
    {
        if (pulled) {
            heardAfterPull = true;
            return;
        }
        if (frameLeft == 0 && byte == STX) {
            ++frames;
            frameLeft = frameLength;
            if (fault.is("stray-to-device") && frames == fault.numbers[1])
                apply([&] { toDevice.push(static_cast<unsigned char>(fault.numbers[0]), now); });
        } else if (frameLeft == 0 && byte == ETX && ++etxFromHost == greetingLength && fault.is("announce-again")) {
            // The board resets: quiet, its announcement again, then what it sends next.
            apply([&] {
                toHost.pause(now, announceQuietNs);
                for (unsigned char announced : announcement)
                    toHost.push(announced, now);
            });
        }
        if (frameLeft > 0)
            byte = inFrame(byte, now);
        if (!dropped)
            toDevice.push(byte, now);
        dropped = false;
        if (pulled)
            nextAnnouncementNs = now + swapDelayNs;
    }

    // What time alone brings: the other board's announcements.
    void tick(long long now)
    {
        if (!pulled || heardAfterPull || now < nextAnnouncementNs)
            return;
        announceOtherBoard(now);
        nextAnnouncementNs = now + announceEveryNs;
    }
    long long nextTickNs() const { return pulled && !heardAfterPull ? nextAnnouncementNs : -1; }

    // What the device sent: forwarded, replies counted.
    void fromDevice(unsigned char byte, long long now)
    {
        if (pulled)
            return;
        if (++deviceBytes <= fault.numbers[0] && fault.kind == "cut") {
            fault.applied = true;
            return;
        }
        if (announcement.size() < announcementLength)
            announcement.push_back(byte);
        if (etxFromHost >= greetingLength && (byte == ACK || byte == NAK || byte == CAN)) {
            ++replies;
            if (fault.is("stray-to-host") && replies == fault.numbers[1])
                apply([&] { toHost.push(static_cast<unsigned char>(fault.numbers[0]), now); });
            if (fault.is("flip-to-host") && replies == fault.numbers[1])
                apply([&] { byte ^= static_cast<unsigned char>(1 << fault.numbers[0]); });
        }
        toHost.push(byte, now);
    }

    bool isPulled() const { return pulled; }
    const Fault &theFault() const { return fault; }

    Direction toDevice;
    Direction toHost;

private:
    template<typename Damage>
    void apply(Damage damage)
    {
        damage();
        fault.applied = true;
    }

    unsigned char inFrame(unsigned char byte, long long)
    {
        const int offset = frameLength - frameLeft--;
        if (frames == fault.numbers[0] && offset == 0 && fault.is("drop-stx"))
            apply([&] { dropped = true; });
        if (frames == fault.numbers[2] && offset == fault.numbers[1] && fault.is("flip-to-device"))
            apply([&] { byte ^= static_cast<unsigned char>(1 << fault.numbers[0]); });
        if (frameLeft == 0 && frames == fault.numbers[0] && fault.is("swap"))
            apply([&] { pulled = true; });
        return byte;
    }

    // Another board, whose UID holds an ACK and a CAN, announces itself on
    // the line the first one was pulled from, then says nothing more.
    void announceOtherBoard(long long now)
    {
        Bytes other = announcement;
        other.resize(announcementLength, 0);
        other[2] = ACK;
        other[3] = CAN;
        other[8] ^= 0x80;
        for (unsigned char byte : other)
            toHost.push(byte, now);
    }

    Fault fault;
    int frames = 0;
    int frameLeft = 0;
    int etxFromHost = 0;
    int deviceBytes = 0;
    int replies = 0;
    bool dropped = false;
    bool pulled = false;
    bool heardAfterPull = false;
    long long nextAnnouncementNs = 0;
    Bytes announcement;
};

int openRaw(const char *path)
{
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios raw{};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    return fd;
}

// Reads what fd holds into each byte's handler; false once the far end is gone.
template<typename Handler>
bool drain(int fd, Handler handle)
{
    unsigned char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0) {
            const long long now = nowNs();
            for (ssize_t i = 0; i < count; ++i)
                handle(buffer[i], now);
        } else {
            return count < 0 && (errno == EAGAIN || errno == EINTR);
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: damaged-line DEVICE-PTY [FAULT]\n");
        return 2;
    }
    DamagedLine line(parseFault(argc == 3 ? argv[2] : ""));

    termios raw{};
    cfmakeraw(&raw);
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0) {
        std::perror("damaged-line: openpty");
        return 1;
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    const char *hostPath = ttyname(slave);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    inotify_add_watch(watch, hostPath, IN_OPEN | IN_CLOSE);
    std::printf("%s\n", hostPath);
    std::fflush(stdout);

    int device = -1;
    bool hostGone = false;
    bool deviceGone = false;
    while (!hostGone && !(deviceGone && line.toHost.isEmpty())) {
        const long long now = nowNs();
        line.tick(now);
        if (!line.toDevice.flush(device, now) && !line.isPulled())
            deviceGone = true;
        line.toHost.flush(master, now);
        long long due = -1;
        for (long long next : {line.toDevice.nextDue(), line.toHost.nextDue(), line.nextTickNs()})
            if (next >= 0 && (due < 0 || next < due))
                due = next;
        pollfd fds[3] = {{watch, POLLIN, 0}, {master, POLLIN, 0}, {deviceGone ? -1 : device, POLLIN, 0}};
        const int timeoutMs = due < 0 ? 100 : int(std::max(0LL, (due - now + 999'999) / 1'000'000));
        if (::poll(fds, 3, timeoutMs) < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN) {
            char events[4096];
            for (ssize_t count; (count = ::read(watch, events, sizeof events)) > 0;) {
                for (char *at = events; at < events + count;) {
                    const auto *event = reinterpret_cast<inotify_event *>(at);
                    if ((event->mask & IN_OPEN) && device < 0 && (device = openRaw(argv[1])) < 0) {
                        std::perror("damaged-line: the device's line");
                        return 1;
                    }
                    hostGone = hostGone || (event->mask & IN_CLOSE);
                    at += sizeof(inotify_event) + event->len;
                }
            }
        }
        if (fds[1].revents & POLLIN)
            drain(master, [&](unsigned char byte, long long at) { line.fromHost(byte, at); });
        if (device >= 0 && !deviceGone && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)))
            deviceGone = !drain(device, [&](unsigned char byte, long long at) { line.fromDevice(byte, at); })
                && !line.isPulled();
    }
    const Fault &fault = line.theFault();
    if (!fault.kind.empty())
        std::fprintf(stderr, "damaged-line: %s %s\n", fault.kind.c_str(), fault.applied ? "applied" : "not reached");
    return 0;
}
