/*
 * The device end of the kavriUpdate wire protocol: announce, wait for the
 * host to start, take 1027-byte frames until EOT, then check the image
 * against its envelope. Nothing here knows the chip; see kavri_device.h for
 * the functions a port supplies.
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
#define ANNOUNCE_QUIET_MS 20u /* of silence before an announcement: the host asks for 20 */
#define ANNOUNCE_WAIT_MS 300u /* for the greeting; the host asks for at least 250 */
#define POLL_WAIT_MS 100u     /* for a poll's answer: silence means the host has started */
#define FRAME_WAIT_MS 10000u  /* for a frame (or EOT) after ACK or NAK: then the host has gone */
#define BYTE_WAIT_MS 1000u    /* between two bytes of one frame: then the frame is short */
#define FRAME_QUIET_MS 2u     /* after a frame: a byte sooner came right behind it */
#define EOT_QUIET_MS 50u      /* after EOT: a byte sooner makes it noise or a damaged frame */
#define SETTLE_MS 50u         /* of silence after a bad frame, before the NAK */

/* The frame, placed so that its payload (after STX) is word-aligned for
 * kavri_port_store(). */
static uint32_t frame_words[(3u + FRAME_SIZE + 3u) / 4u];
static uint8_t *const frame = (uint8_t *)frame_words + 3;

/* The next byte, or -1 once at least timeout_ms have passed without one. The
 * clock ticks once a millisecond and its next tick may come at once, so the
 * wait runs one tick more than the timeout. */
static int read_byte(uint32_t timeout_ms)
{
    const uint32_t start = kavri_port_millis();
    for (;;) {
        const int byte = kavri_port_read();
        if (byte >= 0)
            return byte;
        if ((uint32_t)(kavri_port_millis() - start) > timeout_ms)
            return -1;
    }
}

/* Drops whatever arrives until the line has been quiet for quiet_ms; returns
 * how many bytes that was. */
static uint32_t settle(uint32_t quiet_ms)
{
    uint32_t dropped = 0;
    while (read_byte(quiet_ms) >= 0)
        ++dropped;
    return dropped;
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

/* CRC-32 as zlib computes it (reflected polynomial 0xEDB88320, initial value
 * and final XOR 0xFFFFFFFF), carried on from crc: 0 to start. */
static uint32_t crc32(uint32_t crc, const uint8_t *bytes, uint32_t count)
{
    crc = ~crc;
    while (count--) {
        crc ^= *bytes++;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

static uint32_t little_endian(const uint8_t *bytes, int count)
{
    uint32_t value = 0;
    while (count--)
        value = value << 8 | bytes[count];
    return value;
}

/* Reads an envelope's header from the first block of an image; nonzero when
 * the block is one: its magic, and a CRC-32 of its first 16 bytes after them. */
static int read_envelope(const uint8_t *block, struct kavri_envelope *envelope)
{
    if (little_endian(block, 4) != KAVRI_ENVELOPE_MAGIC || little_endian(block + 16, 4) != crc32(0, block, 16))
        return 0;
    envelope->length = little_endian(block + 4, 4);
    envelope->crc32 = little_endian(block + 8, 4);
    envelope->version_major = (uint16_t)little_endian(block + 12, 2);
    envelope->version_minor = (uint16_t)little_endian(block + 14, 2);
    return 1;
}

/* The blocks an image in this envelope takes: the header's, then the application's. */
static uint32_t blocks_for(const struct kavri_envelope *envelope)
{
    return 1u + envelope->length / KAVRI_BLOCK_SIZE + (envelope->length % KAVRI_BLOCK_SIZE != 0);
}

/* After EOT: the header as kept is an envelope, exactly its blocks were kept,
 * and the application as kept matches its CRC-32. Read back from storage, so
 * a block the port did not keep as sent fails too. */
static enum kavri_outcome check_image(const struct kavri_report *report)
{
    struct kavri_envelope kept;
    if (!read_envelope(kavri_port_block(0), &kept) || report->blocks_stored != blocks_for(&kept))
        return KAVRI_IMAGE_BAD;
    uint32_t crc = 0;
    uint32_t left = kept.length;
    for (uint32_t block = 1; left; ++block) {
        const uint32_t count = left < KAVRI_BLOCK_SIZE ? left : KAVRI_BLOCK_SIZE;
        crc = crc32(crc, kavri_port_block(block), count);
        left -= count;
    }
    return crc == kept.crc32 ? KAVRI_IMAGE_OK : KAVRI_IMAGE_BAD;
}

/* Sends ETX and the 16-byte identity record in one burst, again every
 * ANNOUNCE_WAIT_MS until any byte comes back. The host takes an ETX for an
 * announcement only after ANNOUNCE_QUIET_MS of silence, so the first one waits
 * for a quiet line too. Bytes sent while no host has the line open are lost,
 * so the first announcements may go nowhere. Once a byte has come back the
 * device never announces again: the host would take a second announcement
 * for polls, and its record bytes for ACKs or a CAN. */
static void announce(const struct kavri_device *device, struct kavri_report *report)
{
    static uint8_t announcement[17]; /* bytes 9, 10 and 13..16 stay zero */
    announcement[0] = ETX;
    for (int i = 0; i < 8; ++i)
        announcement[1 + i] = device->uid[i];
    announcement[1 + 10] = device->version_minor;
    announcement[1 + 11] = device->version_major;

    settle(ANNOUNCE_QUIET_MS);
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

/* What the device makes of what came where a frame was expected. */
enum arrival {
    ARRIVED_FRAME,        /* a whole frame, alone on the line, in frame[]: check it */
    ARRIVED_DAMAGED,      /* noise or a damaged frame, now over: NAK it */
    ARRIVED_EOT,          /* the end of the download */
    ARRIVED_POLL_ANSWERS, /* the host had not started: poll again */
    ARRIVED_OUT_OF_STEP,  /* the host sent more than the last reply asked for */
    ARRIVED_NOTHING,      /* the host has gone */
};

/* Whatever is left of a damaged frame of which count bytes have come: read
 * at a frame's pace (a loaded host may pause inside one), then until quiet. */
static enum arrival drop_damaged(uint32_t count)
{
    while (count++ < FRAME_SIZE && read_byte(BYTE_WAIT_MS) >= 0) {
    }
    settle(SETTLE_MS);
    return ARRIVED_DAMAGED;
}

/* After STX: the rest of the frame, then FRAME_QUIET_MS for anything right
 * behind it. A stray ACK or NAK on the way to the host makes it send one
 * frame (or EOT) too many, which lands right behind this one: then the two
 * ends are out of step. A single byte other than EOT is only noise. */
static enum arrival take_frame(void)
{
    frame[0] = STX;
    for (uint32_t i = 1; i < FRAME_SIZE; ++i) {
        const int byte = read_byte(BYTE_WAIT_MS);
        if (byte < 0)
            return ARRIVED_DAMAGED; /* short: bytes were lost, and the line has been quiet since */
        frame[i] = (uint8_t)byte;
    }
    const int behind = read_byte(FRAME_QUIET_MS);
    if (behind < 0)
        return ARRIVED_FRAME;
    /* An EOT or a second frame: said at once, while the host still watches
     * the line after its EOT. */
    if (behind == EOT || read_byte(FRAME_QUIET_MS) >= 0)
        return ARRIVED_OUT_OF_STEP;
    settle(SETTLE_MS);
    return ARRIVED_DAMAGED;
}

/* After an ETX before the first block: a late answer to the last poll only if
 * nothing but ETX follows; anything else is a frame behind a stray byte. */
static enum arrival take_poll_answers(void)
{
    uint32_t count = 1;
    int byte;
    while ((byte = read_byte(POLL_WAIT_MS)) >= 0) {
        ++count;
        if (byte != ETX)
            return drop_damaged(count);
    }
    return ARRIVED_POLL_ANSWERS;
}

static enum arrival take_arrival(uint32_t blocks_stored)
{
    const int first = read_byte(FRAME_WAIT_MS);
    if (first < 0)
        return ARRIVED_NOTHING;
    if (first == STX)
        return take_frame();
    if (first == EOT)
        return read_byte(EOT_QUIET_MS) < 0 ? ARRIVED_EOT : drop_damaged(2);
    if (first == ETX && blocks_stored == 0)
        return take_poll_answers();
    return drop_damaged(1);
}

static int frame_is_good(void)
{
    const uint16_t sent = (uint16_t)(frame[FRAME_SIZE - 2] << 8 | frame[FRAME_SIZE - 1]);
    return crc16(frame + 1, KAVRI_BLOCK_SIZE) == sent;
}

/* The answer to a whole frame: NAK when it fails its check or the port asks
 * for it again, CAN when its block cannot be kept (block 1 of an envelope
 * too large for the device, before anything is stored), else ACK once the
 * block is kept. A block is kept only when it is acknowledged. */
static uint8_t answer_frame(const struct kavri_device *device, struct kavri_report *report)
{
    const uint32_t block = report->blocks_stored;
    const uint8_t *payload = frame + 1;
    if (!frame_is_good()) {
        settle(SETTLE_MS);
        return NAK;
    }
    if (block == 0) {
        report->has_envelope = read_envelope(payload, &report->envelope);
        if (report->has_envelope && blocks_for(&report->envelope) > device->capacity_blocks)
            return CAN;
    }
    if (block >= device->capacity_blocks)
        return CAN;
    const int stored = kavri_port_store(block, payload);
    if (stored == KAVRI_STORE_AGAIN)
        return NAK;
    if (stored != 0)
        return CAN;
    report->blocks_stored = block + 1;
    return ACK;
}

enum kavri_outcome kavri_device_run(const struct kavri_device *device, struct kavri_report *report)
{
    report->blocks_stored = 0;
    report->announcements = 0;
    report->naks_sent = 0;
    report->has_envelope = 0;

    announce(device, report);
    wait_for_start();
    uint8_t answer = ACK; /* the first ACK asks for block 1 */
    for (;;) {
        send_byte(answer);
        switch (take_arrival(report->blocks_stored)) {
        case ARRIVED_NOTHING:
            return KAVRI_HOST_SILENT;
        case ARRIVED_EOT:
            return report->has_envelope ? check_image(report) : KAVRI_COMPLETE;
        case ARRIVED_OUT_OF_STEP:
            send_byte(CAN);
            return KAVRI_OUT_OF_STEP;
        case ARRIVED_POLL_ANSWERS:
            wait_for_start();
            answer = ACK;
            break;
        case ARRIVED_DAMAGED: /* keep nothing of it and ask for the same frame again */
            answer = NAK;
            break;
        case ARRIVED_FRAME:
            answer = answer_frame(device, report);
            break;
        }
        if (answer == CAN) {
            send_byte(CAN);
            return KAVRI_CANCELED;
        }
        report->naks_sent += answer == NAK;
    }
}
