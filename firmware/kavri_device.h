/*
 * The device end of the kavriUpdate wire protocol (docs/protocol.md) in
 * portable C: no C library, no heap, no interrupts, no floating point.
 *
 * kavri_device.c speaks the protocol. A port to a chip supplies the four
 * kavri_port_* functions below and calls kavri_device_run() from its main().
 * port_lm3s6965.c is such a port, for qemu's lm3s6965evb board.
 */
#ifndef KAVRI_DEVICE_H
#define KAVRI_DEVICE_H

#include <stdint.h>

#define KAVRI_BLOCK_SIZE 1024u

/* ---- What a port provides ---------------------------------------------- */

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
 * bytes. Called once per block, in order, only for index below the capacity
 * given to kavri_device_run(). Returns 0 once the block is kept; any other
 * value cancels the download. The host waits meanwhile, so erasing and
 * programming flash here is fine. */
int kavri_port_store(uint32_t index, const uint8_t *block);

/* ---- What the protocol provides ---------------------------------------- */

struct kavri_device {
    uint8_t uid[8];           /* shown by the host as hex, in this order */
    uint8_t version_major;    /* shown as V<major>.<minor> */
    uint8_t version_minor;
    uint32_t capacity_blocks; /* blocks kavri_port_store() can keep */
    /* A test aid: the first arrival of this block (1 for the first block) is
     * answered with NAK as if its CRC were wrong. 0 never refuses a good frame. */
    uint32_t refuse_once;
};

enum kavri_outcome {
    KAVRI_COMPLETE,   /* the host sent EOT after the last block */
    KAVRI_CANCELED,   /* the image did not fit, or a block could not be kept: CAN sent */
    KAVRI_HOST_SILENT, /* the host stopped answering during the transfer */
    KAVRI_OUT_OF_STEP  /* the host sent a frame or EOT right behind a frame: it took a
                        * stray byte for a reply and its count is not the device's. CAN sent */
};

struct kavri_report {
    uint32_t blocks_stored; /* blocks handed to kavri_port_store() and acknowledged */
    uint32_t announcements; /* times the identity was sent before the host answered */
    uint32_t naks_sent;
};

/* Announces the device until a host answers, waits for the host to start,
 * then takes the image block by block until the end of the download. After
 * it returns the device sends nothing more until it is reset. */
enum kavri_outcome kavri_device_run(const struct kavri_device *device, struct kavri_report *report);

#endif /* KAVRI_DEVICE_H */
