/*
 * The device end of the kavriUpdate wire protocol (docs/protocol.md) in
 * portable C: no C library, no heap, no interrupts, no floating point.
 *
 * kavri_device.c speaks the protocol and checks an image's envelope. A port
 * to a chip supplies the kavri_port_* functions below; its main() starts the
 * port and calls kavri_device_run(). port_lm3s6965.c and port_nrf51.c are
 * such ports, for qemu's lm3s6965evb and microbit boards.
 */
#ifndef KAVRI_DEVICE_H
#define KAVRI_DEVICE_H

#include <stdint.h>

#define KAVRI_BLOCK_SIZE 1024u

/* ---- What a port provides ---------------------------------------------- */

/* Sets up the clock, the UART and their interrupts. The clock must raise a
 * periodic interrupt (every millisecond suits kavri_port_millis()), since
 * kavri_port_read() may sleep until the next interrupt. */
void kavri_port_start(void);

/* The next byte the UART has received (0..255), or -1 when none is waiting.
 * It may sleep first until the next interrupt, a received byte or a clock
 * tick, but no longer: the protocol's waits are built on it. The line runs at
 * 115200 baud, 8N1, no flow control. */
int kavri_port_read(void);

/* Sends count bytes in order, waiting while the UART's transmitter is full. */
void kavri_port_write(const uint8_t *bytes, uint32_t count);

/* Milliseconds since start-up, from a free-running clock; it may wrap. */
uint32_t kavri_port_millis(void);

/* Keeps block number index (0 for the first) of the image: KAVRI_BLOCK_SIZE
 * bytes at a word-aligned address, so it may be read a word at a time.
 * Called once per block, in order (again for the same index after
 * KAVRI_STORE_AGAIN), only for index below the capacity given to
 * kavri_device_run(). Returns 0 once the block is kept, KAVRI_STORE_AGAIN
 * when it was not kept and the host should send it again (a write that
 * failed its read-back); any other value cancels the download. The host
 * waits meanwhile, so erasing and programming flash here is fine. */
int kavri_port_store(uint32_t index, const uint8_t *block);
#define KAVRI_STORE_AGAIN 1

/* Where block number index is kept, readable as memory. */
const uint8_t *kavri_port_block(uint32_t index);

/* ---- What the protocol provides ---------------------------------------- */

struct kavri_device {
    uint8_t uid[8];           /* shown by the host as hex, in this order */
    uint8_t version_major;    /* shown as V<major>.<minor> */
    uint8_t version_minor;
    uint32_t capacity_blocks; /* blocks kavri_port_store() can keep */
};

enum kavri_outcome {
    KAVRI_COMPLETE,    /* EOT after the last block of an image without an envelope */
    KAVRI_IMAGE_OK,    /* EOT, and the envelope's length and CRC-32 match what was kept */
    KAVRI_IMAGE_BAD,   /* EOT, but what was kept does not match its envelope */
    KAVRI_CANCELED,    /* the image did not fit, or a block could not be kept: CAN sent */
    KAVRI_HOST_SILENT, /* the host stopped answering during the transfer */
    KAVRI_OUT_OF_STEP  /* the host sent a frame or EOT right behind a frame: it took a
                        * stray byte for a reply and its count is not the device's. CAN sent */
};

/* The image envelope (README, "Image envelope"): block 1 of an image is a
 * header, the application follows from block 2 on. All fields little-endian. */
#define KAVRI_ENVELOPE_MAGIC 0x3146564Bu /* "KVF1" */
struct kavri_envelope {
    uint32_t length;        /* of the application, in bytes */
    uint32_t crc32;         /* CRC-32 (as zlib's) of the application's bytes */
    uint16_t version_major; /* the application's version */
    uint16_t version_minor;
};

struct kavri_report {
    uint32_t blocks_stored; /* blocks handed to kavri_port_store() and acknowledged */
    uint32_t announcements; /* times the identity was sent before the host answered */
    uint32_t naks_sent;
    int has_envelope;       /* block 1 was an envelope's header: */
    struct kavri_envelope envelope; /* what it said */
};

/* Announces the device until a host answers, waits for the host to start,
 * then takes the image block by block until the end of the download. An
 * image with an envelope too large for the device's capacity is refused at
 * block 1, before anything is stored. After it returns the device sends
 * nothing more until it is reset. Only KAVRI_IMAGE_OK (or, for an image
 * without an envelope, KAVRI_COMPLETE) leaves an image fit to start: the
 * application then begins at kavri_port_block(1). */
enum kavri_outcome kavri_device_run(const struct kavri_device *device, struct kavri_report *report);

#endif /* KAVRI_DEVICE_H */
