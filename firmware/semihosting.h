/*
 * ARM semihosting, which qemu answers with -semihosting-config enable=on:
 * the host's files, console, command line and exit, for the test harness
 * and the stand-in application.
 */
#ifndef SEMIHOSTING_H
#define SEMIHOSTING_H

#include <stdint.h>

enum {
    SYS_OPEN = 0x01,
    SYS_CLOSE = 0x02,
    SYS_WRITE0 = 0x04,
    SYS_WRITE = 0x05,
    SYS_GET_CMDLINE = 0x15,
    SYS_EXIT_EXTENDED = 0x20,
    OPEN_WRITE_BINARY = 5, /* fopen's "wb" */
    APPLICATION_EXIT = 0x20026,
};

static inline int semihost(uint32_t operation, const void *argument)
{
    register uint32_t r0 __asm__("r0") = operation;
    register const void *r1 __asm__("r1") = argument;
    __asm__ volatile("bkpt 0xAB" : "+r"(r0) : "r"(r1) : "memory");
    return (int)r0;
}

/* Ends qemu with status. */
static inline __attribute__((noreturn)) void semihost_exit(uint32_t status)
{
    const uint32_t exit[2] = {APPLICATION_EXIT, status};
    for (;;)
        semihost(SYS_EXIT_EXTENDED, exit);
}

#endif /* SEMIHOSTING_H */
