/*
 * What every Cortex-M port shares: a reset handler that sets up C's memory
 * (.data copied from flash, .bss zeroed) before main(), the handler for
 * faults and interrupts nobody expects, kavri_port_millis() and
 * kavri_port_read() over what the port's clock and UART interrupts report,
 * kavri_port_block() over the memory map's STORAGE, and the jump into an
 * application.
 * Each port's vector table names the handlers; the memory symbols come from
 * the linker script (sections.ld).
 */
#include "cortex_m.h"
#include "kavri_device.h"

extern uint32_t __data_load[], __data_start[], __data_end[], __bss_start[], __bss_end[];

int main(void);

void Reset_Handler(void)
{
    uint32_t *from = __data_load;
    for (uint32_t *to = __data_start; to < __data_end;)
        *to++ = *from++;
    for (uint32_t *to = __bss_start; to < __bss_end;)
        *to++ = 0;
    main();
    for (;;) {
    }
}

/* Stops here, where a debugger shows it. */
void Unexpected_Handler(void)
{
    for (;;) {
    }
}

static volatile uint32_t milliseconds;

void cortex_m_tick(void)
{
    ++milliseconds;
}

uint32_t kavri_port_millis(void)
{
    return milliseconds;
}

/* What the UART received: head counts the bytes in, tail the bytes taken. A
 * byte that finds it full is dropped, and the frame it belonged to fails its
 * CRC. */
#define RECEIVED_SIZE 256u /* a power of two */
static volatile uint8_t received[RECEIVED_SIZE];
static volatile uint32_t received_head, received_tail;

void cortex_m_received(uint8_t byte)
{
    if (received_head - received_tail < RECEIVED_SIZE)
        received[received_head++ % RECEIVED_SIZE] = byte;
}

int kavri_port_read(void)
{
    /* Sleep until an interrupt, a byte or the next tick, when nothing is
     * waiting. Interrupts are masked around the check, so one that comes
     * between the check and the wfi still wakes it. */
    __asm__ volatile("cpsid i" ::: "memory");
    if (received_tail == received_head)
        __asm__ volatile("wfi" ::: "memory");
    __asm__ volatile("cpsie i" ::: "memory");
    if (received_tail == received_head)
        return -1;
    return received[received_tail++ % RECEIVED_SIZE];
}

/* The blocks, one after another from the STORAGE region of the memory map. */
extern uint8_t __storage_start[];

const uint8_t *kavri_port_block(uint32_t index)
{
    return __storage_start + index * KAVRI_BLOCK_SIZE;
}

void cortex_m_start_application(const uint8_t *vectors)
{
    const uint32_t *table = (const uint32_t *)vectors;
    __asm__ volatile("cpsid i\n"
                     "msr msp, %0\n"
                     "bx %1"
                     :
                     : "r"(table[0]), "r"(table[1])
                     : "memory");
    __builtin_unreachable();
}
