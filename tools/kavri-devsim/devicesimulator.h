#ifndef DEVICESIMULATOR_H
#define DEVICESIMULATOR_H

#include <QByteArray>
#include <QFlags>
#include <QList>
#include <QSet>

#include <random>

// The device end of the flashing protocol, with no I/O of its own: a driver
// hands it the bytes the host wrote and the ticks of a poll clock, and writes
// back whatever it returns. Time exists only as ticks, so the same object runs
// behind a pseudo-terminal or inside a scripted test.
class DeviceSimulator
{
public:
    static constexpr int blockSize = 1024;
    static constexpr int frameLength = 1 + blockSize + 2; // STX, payload, CRC high and low

    // Sent on every tick while the host waits for the user. It has to mean
    // nothing to the host in any state: 0x03 would start a new announcement on
    // an idle host, ACK would pull a block, CAN would abort and NAK could ask
    // for a resend. 'C' carries no meaning, so when the host swallows it as
    // the byte that follows Download nothing is lost.
    static constexpr char pollByte = 'C';

    struct Settings
    {
        QByteArray uid = QByteArray::fromHex("4b41565249000001"); // 8 bytes
        quint8 versionMajor = 1;
        quint8 versionMinor = 0;
        int deviceCount = 1;       // devices that complete or cancel, one after another
        QSet<int> nakBlocks;       // 1-based; refused the first time they arrive
        int nakEvery = 0;          // every nakEvery-th block is refused the first time; 0 never
        int cancelAtBlock = 0;     // 1-based; 0 never cancels
        int cancelEvery = 1;       // cancelAtBlock applies to every cancelEvery-th device only
        int unplugAtBlock = 0;     // 1-based; 0 never unplugs; at most one device is unplugged
        int unplugDevice = 0;      // 1-based; 0: the first device to reach unplugAtBlock
        // After the unplug, wait for start() to plug in the next device
        // instead of ending; the unplugged one does not count towards deviceCount.
        bool replugAfterUnplug = false;
        double nakProbability = 0.0; // chance of refusing any good block
        quint32 seed = 1;          // drives both random NAKs and noise
        int noiseBytes = 0;        // garbage sent before every announcement
        // While nothing has come back, the device announces itself again
        // every this many ticks.
        int announceEveryTicks = 15;
        // The next device is plugged in this many ticks after the last one
        // ended: the host watches a quiet line a while after its EOT.
        int ticksBetweenDevices = 10;
        // Quiet ticks before an unanswered poll means the host started, and
        // before an EOT, or an 0x03 where a frame was due, is taken as such:
        // a device waits at least 50 ms for either.
        int quietTicks = 3;
    };

    // Abandoned: the driver gave up on a host that fell silent (giveUp()).
    // OutOfStep: the host sent more right behind a frame or an EOT, so it
    // took some byte for a reply; CAN sent.
    enum class Outcome { Pending, Completed, Cancelled, Unplugged, Abandoned, OutOfStep };

    // One simulated device's session: what it was and what it took.
    struct DeviceSession
    {
        QByteArray uid;
        QByteArray image; // accepted payloads, 1024 bytes per block
        Outcome outcome = Outcome::Pending;
    };

    enum Event {
        FrameRequested = 0x01,  // the output asks the host for a frame
        FrameReceived = 0x02,   // the last byte of a full-length frame arrived
        DeviceFinished = 0x04,  // the current device's session ended
        UnplugRequested = 0x08, // the driver should close the line now
        AllDone = 0x10,         // nothing further will happen
    };
    Q_DECLARE_FLAGS(Events, Event)

    struct Output
    {
        QByteArray bytes;        // to be written to the host, in order
        // To be written after bytes, once the line has been quiet long
        // enough for the host to take its 0x03 as an announcement.
        QByteArray announcement;
        Events events;
    };

    explicit DeviceSimulator(const Settings &settings);

    // A device is plugged in and announces itself: the first one, or after an
    // unplug (with replugAfterUnplug) the next one. Does nothing otherwise.
    Output start();
    // Bytes from the host. A frame is judged only once the line has gone
    // quiet behind it: with quietAfter, at the end of these bytes, else at
    // lineQuiet(); bytes right behind it show a host that did not wait for
    // the reply. An EOT, or an 0x03 where a frame was due, counts only after
    // quietTicks ticks with nothing behind it.
    Output feed(const QByteArray &fromHost, bool quietAfter = true);
    Output lineQuiet();
    Output tick();
    // The host fell silent for too long: the current device's session ends
    // as abandoned, and nothing further happens. Does nothing unless awaitsHost().
    Output giveUp();

    const QList<DeviceSession> &devices() const { return deviceRecords; }
    int currentDeviceIndex() const { return int(deviceRecords.size()) - 1; }
    bool isFinished() const { return state == State::Finished; }
    bool isUnplugged() const { return state == State::Unplugged; }
    // A device has announced itself and waits for the host to speak: for
    // its greeting, the answer to a poll, or the next frame.
    bool awaitsHost() const;

    int blocksReceived() const { return receivedBlockCount; }
    int badFrames() const { return badFrameCount; }
    int naksSent() const { return nakCount; }

private:
    enum class State { NotStarted, Announced, Polling, Receiving, BetweenDevices, Unplugged, Finished };

    Output announceNextDevice();
    QByteArray identityRecord(const QByteArray &uid) const;
    QByteArray uidForNextDevice() const;
    QByteArray noise();

    void receiveByte(char byte, Output &out);
    void receiveGreetingByte(char byte);
    void receiveFrameByte(char byte, Output &out);
    void judge(Output &out, bool settled);
    void completeFrame(Output &out);
    bool refuseBlock(int block);
    bool unplugsAt(int block) const;
    bool cancelsAt(int block) const;
    int unpluggedCount() const;

    void pollTick(Output &out);
    void stalledFrameTick(Output &out);

    void enterPolling();
    void requestFrame(char reply, Output &out);
    void rejectFrame(Output &out);
    void endDevice(Outcome outcome, Output &out);
    int nextBlockNumber() const;

    Settings settings;
    std::mt19937 random;
    State state = State::NotStarted;
    QList<DeviceSession> deviceRecords;

    int greetingBytes = 0;
    bool heardBack = false;   // any byte came back since the announcement
    int ticksAnnounced = 0;
    int ticksBetweenDevices = 0;
    int quietTicks = 0;       // ticks since the host last sent a byte
    bool pollOutstanding = false;
    bool pollAnswered = false;
    QByteArray receivedFrame;
    bool frameGrew = false;
    // What waits for the line to go quiet, and what came right behind it.
    enum class Pending { Nothing, Frame, EOT, PollAnswer };
    Pending pendingReply = Pending::Nothing;
    int behindCount = 0;
    char behindFirst = 0;
    bool onlyEtxBehind = true;
    QSet<int> refusedBlocks;

    int receivedBlockCount = 0;
    int badFrameCount = 0;
    int nakCount = 0;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(DeviceSimulator::Events)

#endif // DEVICESIMULATOR_H
