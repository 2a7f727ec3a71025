/*
 * Start-up for the LM3S6965 (a Cortex-M3): the vector table, and a reset
 * handler that sets up C's memory (.data copied from flash, .bss zeroed)
 * before main(). The symbols come from the linker script.
 */
#include <stdint.h>

extern uint32_t __data_load[], __data_start[], __data_end[], __bss_start[], __bss_end[];
extern uint32_t __stack_top[];

int main(void);
void SysTick_Handler(void);
void UART0_Handler(void);

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

/* Faults and interrupts nobody expects stop here, where a debugger shows them. */
static void Unexpected_Handler(void)
{
    for (;;) {
    }
}

__attribute__((section(".vectors"), used)) static void (*const vectors[16 + 6])(void) = {
    (void (*)(void))__stack_top, /* the initial stack pointer */
    Reset_Handler,
    Unexpected_Handler, /* NMI */
    Unexpected_Handler, /* HardFault */
    Unexpected_Handler, /* MemManage */
    Unexpected_Handler, /* BusFault */
    Unexpected_Handler, /* UsageFault */
    0, 0, 0, 0,
    Unexpected_Handler, /* SVCall */
    Unexpected_Handler, /* DebugMon */
    0,
    Unexpected_Handler, /* PendSV */
    SysTick_Handler,
    /* The chip's interrupts, by number: GPIO ports A to E, then UART0. */
    Unexpected_Handler,
    Unexpected_Handler,
    Unexpected_Handler,
    Unexpected_Handler,
    Unexpected_Handler,
    UART0_Handler,
};
