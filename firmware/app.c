/*
 * A stand-in application for the tests: what the harness starts from block 2
 * of the storage after a download that passed its envelope's check. Its
 * vector table comes first, as a Cortex-M application's does; it says it
 * runs on qemu's console and ends qemu with status 0.
 */
#include "semihosting.h"

extern uint32_t __stack_top[];

static __attribute__((noreturn)) void application_main(void)
{
    semihost(SYS_WRITE0, "kavri application: started\n");
    semihost_exit(0);
}

__attribute__((section(".vectors"), used)) static void (*const vectors[2])(void) = {
    (void (*)(void))__stack_top,
    application_main,
};
