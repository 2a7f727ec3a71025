/*
 * The device end of the kavriUpdate wire protocol: announce, wait for the
 * host to start, take 1027-byte frames until EOT. Nothing here knows the
 * chip; see kavri_device.h for the four functions a port supplies.
 */
#include "kavri_device.h"

enum {
    STX = 0x02,
    ETX = 0x03, /* announces the identity; the host's greeting and poll answer */
    EOT = 0x04,
    ACK = 0x06,
    NAK = 0x15,
    CAN = 0x18,
    POLL = 'C', /* any byte but ACK, NAK and CAN, which mean something once started */
};

#define FRAME_SIZE (1u + KAVRI_BLOCK_SIZE + 2u) /* STX, payload, CRC high, CRC low */

/* How long to wait, in milliseconds. The host answers within a millisecond or
 * two, so these leave room for a loaded host and a USB adapter's latency. */
#define ANNOUNCE_WAIT_MS 300u /* for the greeting; the host asks for at least 250 */
#define POLL_WAIT_MS 100u     /* for a poll's answer: silence means the host has started */
#define FRAME_WAIT_MS 10000u  /* for a frame (or EOT) after ACK or NAK: then the host has gone */
#define BYTE_WAIT_MS 1000u    /* between two bytes of one frame: then the frame is short */
#define SETTLE_MS 50u         /* of silence after a bad frame, before the NAK */

static uint8_t frame[FRAME_SIZE];

/* The next byte, or -1 once timeout_ms have passed without one. */
static int read_byte(uint32_t timeout_ms)
{
    const uint32_t start = kavri_port_millis();
    for (;;) {
        const int byte = kavri_port_read();
        if (byte >= 0)
            return byte;
        if ((uint32_t)(kavri_port_millis() - start) >= timeout_ms)
            return -1;
    }
}

/* Drops whatever arrives until the line has been quiet for quiet_ms. */
static void settle(uint32_t quiet_ms)
{
    while (read_byte(quiet_ms) >= 0) {
    }
}

static void send_byte(uint8_t byte)
{
    kavri_port_write(&byte, 1);
}

/* CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final XOR. */
static uint16_t crc16(const uint8_t *bytes, uint32_t count)
{
    uint16_t crc = 0;
    while (count--) {
        crc ^= (uint16_t)(*bytes++ << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000u) ? (uint16_t)((crc << 1) ^ 0x1021u) : (uint16_t)(crc << 1);
    }
    return crc;
}

/* Sends ETX and the 16-byte identity record in one burst, again every
 * ANNOUNCE_WAIT_MS until any byte comes back. Bytes sent while no host has
 * the line open are lost, so the first announcements may go nowhere. Once
 * a byte has come back the device never announces again: the host would take
 * a second announcement for polls, and its record bytes for ACKs or a CAN. */
static void announce(const struct kavri_device *device, struct kavri_report *report)
{
    static uint8_t announcement[17]; /* bytes 9, 10 and 13..16 stay zero */
    announcement[0] = ETX;
    for (int i = 0; i < 8; ++i)
        announcement[1 + i] = device->uid[i];
    announcement[1 + 10] = device->version_minor;
    announcement[1 + 11] = device->version_major;

    do {
        kavri_port_write(announcement, sizeof announcement);
        ++report->announcements;
    } while (read_byte(ANNOUNCE_WAIT_MS) < 0);
    settle(POLL_WAIT_MS); /* the rest of the greeting: eight ETX in all */
}

/* Polls until a poll goes unanswered: the host took it as its start byte. */
static void wait_for_start(void)
{
    for (;;) {
        send_byte(POLL);
        if (read_byte(POLL_WAIT_MS) < 0)
            return;
        settle(POLL_WAIT_MS); /* also paces the polls while the user has not started */
    }
}

/* Reads the rest of a frame whose first byte has arrived; nonzero when it
 * is whole, starts with STX and its CRC matches. */
static int frame_is_good(int first)
{
    frame[0] = (uint8_t)first;
    for (uint32_t i = 1; i < FRAME_SIZE; ++i) {
        const int byte = read_byte(BYTE_WAIT_MS);
        if (byte < 0)
            return 0; /* short: bytes were lost on the line */
        frame[i] = (uint8_t)byte;
    }
    const uint16_t sent = (uint16_t)(frame[FRAME_SIZE - 2] << 8 | frame[FRAME_SIZE - 1]);
    return frame[0] == STX && crc16(frame + 1, KAVRI_BLOCK_SIZE) == sent;
}

enum kavri_outcome kavri_device_run(const struct kavri_device *device, struct kavri_report *report)
{
    report->blocks_stored = 0;
    report->announcements = 0;
    report->naks_sent = 0;
    int refused = 0;

    announce(device, report);
    for (;;) {
        wait_for_start();
        uint8_t answer = ACK; /* the first ACK asks for block 1 */
        for (;;) {
            send_byte(answer);
            const int first = read_byte(FRAME_WAIT_MS);
            if (first < 0)
                return KAVRI_HOST_SILENT;
            if (first == EOT)
                return KAVRI_COMPLETE;
            /* A late answer to the last poll: the host had not started after
             * all and took the ACK for one more poll. */
            if (first == ETX && report->blocks_stored == 0) {
                settle(POLL_WAIT_MS);
                break;
            }
            const uint32_t block = report->blocks_stored;
            const int refuse = !refused && block + 1 == device->refuse_once;
            if (!frame_is_good(first) || refuse) {
                /* Keep nothing of it and ask for the same frame again, once
                 * whatever is left of it has arrived. */
                refused |= refuse;
                settle(SETTLE_MS);
                answer = NAK;
                ++report->naks_sent;
                continue;
            }
            /* A block is kept only when it is acknowledged: a block that
             * does not fit, or cannot be kept, is answered with CAN instead. */
            if (block >= device->capacity_blocks || kavri_port_store(block, frame + 1) != 0) {
                send_byte(CAN);
                return KAVRI_CANCELED;
            }
            report->blocks_stored = block + 1;
            answer = ACK;
        }
    }
}
