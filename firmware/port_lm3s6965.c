/*
 * The reference device on qemu's lm3s6965evb board (a Cortex-M3): UART0 is
 * the serial line, received by interrupt, SysTick the millisecond clock, and
 * a RAM array the block storage, since the emulated board cannot program its
 * flash. The core sleeps while the line is quiet. When the download ends,
 * the blocks kept go to a file on the host through ARM semihosting, a line on
 * qemu's standard error says how it went, and qemu exits: 0 after EOT, 1
 * after CAN, 2 when the host fell silent, 3 when the file could not be
 * written, 4 when the host was out of step (CAN sent).
 *
 * On a real chip, keep the four kavri_port_* functions and the clock and UART
 * set-up (with that chip's registers); kavri_port_store() erases and programs
 * flash instead, and main() starts the new image instead of the semihosting
 * part.
 *
 * Build settings (-D):
 *   KAVRI_UID              the 8 UID bytes, comma-separated: 0x0A,0x1B,...
 *   KAVRI_VERSION_MAJOR, KAVRI_VERSION_MINOR
 *   KAVRI_STORAGE_BLOCKS   blocks of 1024 bytes the device can keep
 *   KAVRI_CPU_HZ           the core clock, which drives SysTick; qemu's board
 *                          runs at 12.5 MHz, set this to your chip's clock
 * Run-time settings, words on qemu's -append:
 *   out=PATH   the host file that receives the blocks kept (default: stored.bin)
 *   nak=N      answer the first arrival of block N with NAK (a test aid)
 */
#include "kavri_device.h"

#ifndef KAVRI_UID
#define KAVRI_UID 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71
#endif
#ifndef KAVRI_VERSION_MAJOR
#define KAVRI_VERSION_MAJOR 2
#endif
#ifndef KAVRI_VERSION_MINOR
#define KAVRI_VERSION_MINOR 3
#endif
#ifndef KAVRI_STORAGE_BLOCKS
#define KAVRI_STORAGE_BLOCKS 48
#endif
#ifndef KAVRI_CPU_HZ
#define KAVRI_CPU_HZ 12500000u
#endif

#define REG(address) (*(volatile uint32_t *)(address))

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
/* The interrupt controller: UART0 is interrupt 5. */
#define NVIC_ISER0 REG(0xE000E100)
#define UART0_IRQ 5
/* SysTick, in every Cortex-M3. */
#define SYST_CSR REG(0xE000E010)
#define SYST_RVR REG(0xE000E014)
#define SYST_CVR REG(0xE000E018)

static volatile uint32_t milliseconds;
static uint8_t storage[KAVRI_STORAGE_BLOCKS][KAVRI_BLOCK_SIZE];

/* What UART0 received, put there by its interrupt: head counts the bytes in,
 * tail the bytes taken. A byte that finds it full is dropped, and the frame
 * it belonged to fails its CRC. */
#define RECEIVED_SIZE 256u /* a power of two */
static volatile uint8_t received[RECEIVED_SIZE];
static volatile uint32_t received_head, received_tail;

void SysTick_Handler(void)
{
    ++milliseconds;
}

void UART0_Handler(void)
{
    while (!(UART0_FR & UART_FR_RXFE)) {
        const uint8_t byte = (uint8_t)UART0_DR; /* the bits above are error flags */
        if (received_head - received_tail < RECEIVED_SIZE)
            received[received_head++ % RECEIVED_SIZE] = byte;
    }
}

uint32_t kavri_port_millis(void)
{
    return milliseconds;
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
    for (uint32_t i = 0; i < KAVRI_BLOCK_SIZE; ++i)
        storage[index][i] = block[i];
    return 0;
}

static void start_clock_and_uart(void)
{
    SYSCTL_RCGC1 |= 1u;
    SYSCTL_RCGC2 |= 1u;
    GPIOA_AFSEL |= 0x3u;
    GPIOA_DEN |= 0x3u;

    /* 115200 baud: the divisor is KAVRI_CPU_HZ / (16 * 115200), in 1/64ths. */
    const uint32_t divisor64 = (KAVRI_CPU_HZ * 4u + 115200u / 2u) / 115200u;
    UART0_CTL = 0;
    UART0_IBRD = divisor64 / 64u;
    UART0_FBRD = divisor64 % 64u;
    UART0_LCRH = (3u << 5) | (1u << 4); /* 8 data bits, no parity, 1 stop bit; FIFOs on */
    UART0_IMSC = (1u << 6) | (1u << 4); /* interrupt on receive, and on receive time-out */
    UART0_CTL = (1u << 9) | (1u << 8) | 1u; /* receive, transmit, enable */
    NVIC_ISER0 = 1u << UART0_IRQ;

    SYST_RVR = KAVRI_CPU_HZ / 1000u - 1u;
    SYST_CVR = 0;
    SYST_CSR = 7u; /* the core clock, interrupt on wrap, on */
}

/* ---- ARM semihosting: the host's files and console ---------------------- */

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

static int semihost(uint32_t operation, const void *argument)
{
    register uint32_t r0 __asm__("r0") = operation;
    register const void *r1 __asm__("r1") = argument;
    __asm__ volatile("bkpt 0xAB" : "+r"(r0) : "r"(r1) : "memory");
    return (int)r0;
}

static uint32_t length_of(const char *text)
{
    uint32_t length = 0;
    while (text[length])
        ++length;
    return length;
}

/* Writes count bytes to a new host file; 0 when all were written. */
static int write_host_file(const char *path, const uint8_t *bytes, uint32_t count)
{
    const uint32_t open[3] = {(uint32_t)path, OPEN_WRITE_BINARY, length_of(path)};
    const int handle = semihost(SYS_OPEN, open);
    if (handle < 0)
        return -1;
    const uint32_t write[3] = {(uint32_t)handle, (uint32_t)bytes, count};
    const int unwritten = semihost(SYS_WRITE, write);
    const uint32_t close[1] = {(uint32_t)handle};
    return semihost(SYS_CLOSE, close) == 0 && unwritten == 0 ? 0 : -1;
}

static char console[160];
static uint32_t console_length;

static void say(const char *text)
{
    while (*text && console_length < sizeof console - 1)
        console[console_length++] = *text++;
}

static void say_number(uint32_t number)
{
    char digits[10];
    int count = 0;
    do {
        digits[count++] = (char)('0' + number % 10u);
        number /= 10u;
    } while (number);
    while (count && console_length < sizeof console - 1)
        console[console_length++] = digits[--count];
}

static void say_hex(uint8_t byte)
{
    static const char digits[] = "0123456789ABCDEF";
    const char text[3] = {digits[byte >> 4], digits[byte & 0xFu], '\0'};
    say(text);
}

static void say_line(void)
{
    say("\n");
    console[console_length] = '\0';
    semihost(SYS_WRITE0, console);
    console_length = 0;
}

static __attribute__((noreturn)) void exit_with(uint32_t status)
{
    const uint32_t exit[2] = {APPLICATION_EXIT, status};
    for (;;)
        semihost(SYS_EXIT_EXTENDED, exit);
}

/* qemu's command line for the program (the kernel's path, then -append),
 * cut into words ending in '\0'. */
static char command_line[256];
static uint32_t command_length;

static void read_command_line(void)
{
    uint32_t block[2] = {(uint32_t)command_line, sizeof command_line - 1};
    command_length = semihost(SYS_GET_CMDLINE, block) == 0 ? block[1] : 0;
    for (uint32_t i = 0; i < command_length; ++i) {
        if (command_line[i] == ' ')
            command_line[i] = '\0';
    }
    command_line[command_length] = '\0';
}

/* The value of the word "name=value", or 0 when there is none. */
static const char *setting(const char *name)
{
    const uint32_t length = length_of(name);
    for (uint32_t at = 0; at < command_length; at += length_of(command_line + at) + 1) {
        const char *word = command_line + at;
        uint32_t i = 0;
        while (i < length && word[i] == name[i])
            ++i;
        if (i == length && word[i] == '=')
            return word + length + 1;
    }
    return 0;
}

static uint32_t to_number(const char *text)
{
    uint32_t number = 0;
    while (text && *text >= '0' && *text <= '9')
        number = number * 10u + (uint32_t)(*text++ - '0');
    return number;
}

/* qemu's exit status for each outcome, and for blocks that could not be
 * written out: a script tells them apart without reading the console. */
static const uint32_t exit_statuses[] = {
    [KAVRI_COMPLETE] = 0, [KAVRI_CANCELED] = 1, [KAVRI_HOST_SILENT] = 2, [KAVRI_OUT_OF_STEP] = 4};
#define EXIT_NOT_SAVED 3u

int main(void)
{
    static const char *const outcomes[] = {"complete", "canceled", "host silent", "host out of step"};
    struct kavri_device device = {
        .uid = {KAVRI_UID},
        .version_major = KAVRI_VERSION_MAJOR,
        .version_minor = KAVRI_VERSION_MINOR,
        .capacity_blocks = KAVRI_STORAGE_BLOCKS,
    };

    read_command_line();
    device.refuse_once = to_number(setting("nak"));
    const char *out = setting("out");
    start_clock_and_uart();

    say("kavri device: UID ");
    for (int i = 0; i < 8; ++i)
        say_hex(device.uid[i]);
    say(", V");
    say_number(device.version_major);
    say(".");
    say_number(device.version_minor);
    say(", room for ");
    say_number(device.capacity_blocks);
    say(" blocks; announcing on UART0");
    say_line();

    struct kavri_report report;
    const enum kavri_outcome outcome = kavri_device_run(&device, &report);

    const int saved = write_host_file(out && *out ? out : "stored.bin", storage[0],
                                      report.blocks_stored * KAVRI_BLOCK_SIZE);
    say("kavri device: ");
    say(outcomes[outcome]);
    say("; blocks stored: ");
    say_number(report.blocks_stored);
    say(", announcements: ");
    say_number(report.announcements);
    say(", NAKs sent: ");
    say_number(report.naks_sent);
    if (saved != 0)
        say(", the blocks could not be written out");
    say_line();
    /* qemu's exit closes the line, and a pseudo-terminal drops what the host
     * had not read yet: keep the line up a while for the CAN to be read. */
    if (outcome == KAVRI_CANCELED || outcome == KAVRI_OUT_OF_STEP) {
        const uint32_t start = kavri_port_millis();
        while (kavri_port_millis() - start < 1000u)
            __asm__ volatile("wfi");
    }
    exit_with(saved != 0 ? EXIT_NOT_SAVED : exit_statuses[outcome]);
}
