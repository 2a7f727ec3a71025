/*
 * The port to qemu's lm3s6965evb board (an LM3S6965, a Cortex-M3): UART0 is
 * the serial line, received by interrupt, SysTick the millisecond clock, and
 * RAM the block storage (STORAGE in lm3s6965.ld), since the emulated board
 * cannot program its flash. On a real LM3S6965, kavri_port_store() erases and
 * programs flash instead.
 *
 * Build settings (-D):
 *   LM3S_CPU_HZ            the core clock, which drives SysTick and the baud
 *                          rate; qemu's board runs at 12.5 MHz
 */
#include "cortex_m.h"
#include "kavri_device.h"

#ifndef LM3S_CPU_HZ
#define LM3S_CPU_HZ 12500000u
#endif

/* System control: clocks to the peripherals. */
#define SYSCTL_RCGC1 REG(0x400FE104) /* bit 0: UART0 */
#define SYSCTL_RCGC2 REG(0x400FE108) /* bit 0: GPIO port A */
/* GPIO port A: PA0 and PA1 carry UART0's RX and TX. */
#define GPIOA_AFSEL REG(0x40004420)
#define GPIOA_DEN REG(0x4000451C)
/* UART0, a PL011. */
#define UART0_DR REG(0x4000C000)
#define UART0_FR REG(0x4000C018)
#define UART0_IBRD REG(0x4000C024)
#define UART0_FBRD REG(0x4000C028)
#define UART0_LCRH REG(0x4000C02C)
#define UART0_CTL REG(0x4000C030)
#define UART0_IMSC REG(0x4000C038)
#define UART_FR_RXFE (1u << 4)
#define UART_FR_TXFF (1u << 5)
#define UART0_IRQ 5
/* SysTick, in every Cortex-M3. */
#define SYST_CSR REG(0xE000E010)
#define SYST_RVR REG(0xE000E014)
#define SYST_CVR REG(0xE000E018)

static void SysTick_Handler(void)
{
    cortex_m_tick();
}

static void UART0_Handler(void)
{
    while (!(UART0_FR & UART_FR_RXFE))
        cortex_m_received((uint8_t)UART0_DR); /* the bits above are error flags */
}

__attribute__((section(".vectors"), used)) static void (*const vectors[16 + 6])(void) = {
    CORTEX_M_VECTORS(SysTick_Handler),
    /* The chip's interrupts, by number: GPIO ports A to E, then UART0. */
    Unexpected_Handler, Unexpected_Handler, Unexpected_Handler, Unexpected_Handler, Unexpected_Handler,
    UART0_Handler,
};

void kavri_port_start(void)
{
    SYSCTL_RCGC1 |= 1u;
    SYSCTL_RCGC2 |= 1u;
    GPIOA_AFSEL |= 0x3u;
    GPIOA_DEN |= 0x3u;

    /* 115200 baud: the divisor is LM3S_CPU_HZ / (16 * 115200), in 1/64ths. */
    const uint32_t divisor64 = (LM3S_CPU_HZ * 4u + 115200u / 2u) / 115200u;
    UART0_CTL = 0;
    UART0_IBRD = divisor64 / 64u;
    UART0_FBRD = divisor64 % 64u;
    UART0_LCRH = (3u << 5) | (1u << 4); /* 8 data bits, no parity, 1 stop bit; FIFOs on */
    UART0_IMSC = (1u << 6) | (1u << 4); /* interrupt on receive, and on receive time-out */
    UART0_CTL = (1u << 9) | (1u << 8) | 1u; /* receive, transmit, enable */
    NVIC_ISER0 = 1u << UART0_IRQ;

    SYST_RVR = LM3S_CPU_HZ / 1000u - 1u;
    SYST_CVR = 0;
    SYST_CSR = 7u; /* the core clock, interrupt on wrap, on */
}

void kavri_port_write(const uint8_t *bytes, uint32_t count)
{
    while (count--) {
        while (UART0_FR & UART_FR_TXFF) {
        }
        UART0_DR = *bytes++;
    }
}

int kavri_port_store(uint32_t index, const uint8_t *block)
{
    uint32_t *kept = (uint32_t *)kavri_port_block(index);
    const uint32_t *words = (const uint32_t *)block;
    for (uint32_t i = 0; i < KAVRI_BLOCK_SIZE / 4; ++i)
        kept[i] = words[i];
    return 0;
}
