/*
 * What every Cortex-M port shares (cortex_m.c): the start-up handlers, the
 * millisecond count and the received bytes, which the port's interrupts feed
 * and kavri_port_millis() and kavri_port_read() give out.
 */
#ifndef CORTEX_M_H
#define CORTEX_M_H

#include <stdint.h>

#define REG(address) (*(volatile uint32_t *)(address))
#define NVIC_ISER0 REG(0xE000E100) /* interrupt n enabled by bit n */

extern uint32_t __stack_top[];
void Reset_Handler(void);
void Unexpected_Handler(void);

/* The first 16 vectors, the core's own, with the clock's interrupt handler
 * if it is SysTick; the chip's interrupts follow them. */
#define CORTEX_M_VECTORS(systick)                                                                  \
    (void (*)(void))__stack_top, Reset_Handler, Unexpected_Handler /* NMI */,                     \
        Unexpected_Handler /* HardFault */, Unexpected_Handler, Unexpected_Handler,               \
        Unexpected_Handler, 0, 0, 0, 0, Unexpected_Handler /* SVCall */, Unexpected_Handler, 0,   \
        Unexpected_Handler /* PendSV */, systick

/* From the port's clock interrupt, once a millisecond. */
void cortex_m_tick(void);
/* From the port's UART interrupt, for each byte received. */
void cortex_m_received(uint8_t byte);

/* Starts the application whose vector table is at vectors, with interrupts
 * masked (its own vector table is not in place yet): its stack pointer, then
 * its reset handler. */
__attribute__((noreturn)) void cortex_m_start_application(const uint8_t *vectors);

#endif /* CORTEX_M_H */
