/*
 * The port to qemu's microbit board (an nRF51822, a Cortex-M0): UART0 is the
 * serial line, received by interrupt; TIMER0 the millisecond clock (a
 * Cortex-M0 may have no SysTick, and the nRF51's has none); the block
 * storage is flash (STORAGE in nrf51.ld), each block its own 1 KiB page,
 * erased and programmed a word at a time through the flash controller (NVMC)
 * and read back.
 */
#include "cortex_m.h"
#include "kavri_device.h"

#define PAGE_SIZE 1024u /* one block */

/* UART0, interrupt 2. */
#define UART_STARTRX REG(0x40002000)
#define UART_STARTTX REG(0x40002008)
#define UART_EVENTS_RXDRDY REG(0x40002108)
#define UART_EVENTS_TXDRDY REG(0x4000211C)
#define UART_INTENSET REG(0x40002304)
#define UART_ENABLE REG(0x40002500)
#define UART_PSELTXD REG(0x4000250C)
#define UART_PSELRXD REG(0x40002514)
#define UART_RXD REG(0x40002518)
#define UART_TXD REG(0x4000251C)
#define UART_BAUDRATE REG(0x40002524)
#define UART_IRQ 2
#define UART_BAUD_115200 0x01D7E000u
#define UART_PIN_TX 24 /* the micro:bit's USB serial pins */
#define UART_PIN_RX 25
/* TIMER0, interrupt 8, counting the 16 MHz clock divided by 2^PRESCALER. */
#define TIMER0_START REG(0x40008000)
#define TIMER0_EVENTS_COMPARE0 REG(0x40008140)
#define TIMER0_SHORTS REG(0x40008200)
#define TIMER0_INTENSET REG(0x40008304)
#define TIMER0_BITMODE REG(0x40008508)
#define TIMER0_PRESCALER REG(0x40008510)
#define TIMER0_CC0 REG(0x40008540)
#define TIMER0_IRQ 8
/* The flash controller. */
#define NVMC_READY REG(0x4001E400)
#define NVMC_CONFIG REG(0x4001E504)
#define NVMC_ERASEPAGE REG(0x4001E508)
#define NVMC_READ_ONLY 0u
#define NVMC_WRITE 1u
#define NVMC_ERASE 2u

static void TIMER0_Handler(void)
{
    TIMER0_EVENTS_COMPARE0 = 0;
    cortex_m_tick();
}

static void UART0_Handler(void)
{
    while (UART_EVENTS_RXDRDY) {
        UART_EVENTS_RXDRDY = 0; /* before RXD: reading it raises the event again for the next byte */
        cortex_m_received((uint8_t)UART_RXD);
    }
}

__attribute__((section(".vectors"), used)) static void (*const vectors[16 + 9])(void) = {
    CORTEX_M_VECTORS(Unexpected_Handler),
    /* The chip's interrupts, by number: POWER_CLOCK, RADIO, UART0, SPI0/TWI0,
     * SPI1/TWI1, none, GPIOTE, ADC, TIMER0. */
    Unexpected_Handler, Unexpected_Handler, UART0_Handler, Unexpected_Handler, Unexpected_Handler, 0,
    Unexpected_Handler, Unexpected_Handler, TIMER0_Handler,
};

void kavri_port_start(void)
{
    UART_PSELTXD = UART_PIN_TX;
    UART_PSELRXD = UART_PIN_RX;
    UART_BAUDRATE = UART_BAUD_115200;
    UART_ENABLE = 4u;
    UART_INTENSET = 1u << 2; /* RXDRDY */
    UART_STARTRX = 1u;
    UART_STARTTX = 1u;

    TIMER0_BITMODE = 3u;   /* 32 bits */
    TIMER0_PRESCALER = 4u; /* 1 MHz */
    TIMER0_CC0 = 1000u;
    TIMER0_SHORTS = 1u;          /* COMPARE0 clears the count: a tick every millisecond */
    TIMER0_INTENSET = 1u << 16;  /* COMPARE0 */
    NVIC_ISER0 = (1u << UART_IRQ) | (1u << TIMER0_IRQ);
    TIMER0_START = 1u;
}

void kavri_port_write(const uint8_t *bytes, uint32_t count)
{
    while (count--) {
        UART_EVENTS_TXDRDY = 0;
        UART_TXD = *bytes++;
        while (!UART_EVENTS_TXDRDY) {
        }
    }
}

static void flash_wait(void)
{
    while (!NVMC_READY) {
    }
}

/* Erases the block's page, programs it word by word, and reads it back. */
int kavri_port_store(uint32_t index, const uint8_t *block)
{
    volatile uint32_t *page = (volatile uint32_t *)kavri_port_block(index);
    const uint32_t *words = (const uint32_t *)block;
    NVMC_CONFIG = NVMC_ERASE;
    NVMC_ERASEPAGE = (uint32_t)page;
    flash_wait();
    NVMC_CONFIG = NVMC_WRITE;
    for (uint32_t i = 0; i < PAGE_SIZE / 4; ++i) {
        page[i] = words[i];
        flash_wait();
    }
    NVMC_CONFIG = NVMC_READ_ONLY;
    for (uint32_t i = 0; i < PAGE_SIZE / 4; ++i) {
        if (page[i] != words[i])
            return KAVRI_STORE_AGAIN;
    }
    return 0;
}
