/*
 * The test harness that every emulated board runs under qemu: its main()
 * takes run-time settings from qemu's -append through ARM semihosting, runs
 * the device, writes the board's whole block storage to a file on the host,
 * says how it went on qemu's standard error, and then, as a product's loader
 * does, starts the application of an image that passed its envelope's
 * check; otherwise it ends qemu with a status a script can test, where a
 * product stays in the loader until it is reset (the README's "After the
 * download").
 *
 * Build settings (-D):
 *   KAVRI_UID              the 8 UID bytes, comma-separated: 0x0A,0x1B,...
 *   KAVRI_VERSION_MAJOR, KAVRI_VERSION_MINOR
 *   KAVRI_STORAGE_BLOCKS   blocks of 1024 bytes the board keeps, one after
 *                          another from kavri_port_block(0)
 * Run-time settings, words on qemu's -append:
 *   out=PATH   the host file that receives the storage (default: stored.bin)
 *   nak=N      answer the first arrival of block N with NAK, as a port does
 *              when a write fails its read-back (the build links
 *              kavri_port_store through __wrap_kavri_port_store below)
 * qemu's exit status: the application's for an image that passed its
 * envelope's check (app.c ends with 0), 0 for a whole download of an image
 * without one; 1 after CAN, 2 when the host fell silent, 3 when the file
 * could not be written, 4 when the host was out of step (CAN sent), 5 for an
 * image that failed its envelope's check.
 */
#include "cortex_m.h"
#include "kavri_device.h"
#include "semihosting.h"

static const struct kavri_device device = {
    .uid = {KAVRI_UID},
    .version_major = KAVRI_VERSION_MAJOR,
    .version_minor = KAVRI_VERSION_MINOR,
    .capacity_blocks = KAVRI_STORAGE_BLOCKS,
};

static const uint32_t exit_statuses[] = {
    [KAVRI_COMPLETE] = 0, [KAVRI_IMAGE_OK] = 0,    [KAVRI_IMAGE_BAD] = 5,
    [KAVRI_CANCELED] = 1, [KAVRI_HOST_SILENT] = 2, [KAVRI_OUT_OF_STEP] = 4,
};
#define EXIT_NOT_SAVED 3u

static const char *const outcome_words[] = {
    [KAVRI_COMPLETE] = "complete",      [KAVRI_IMAGE_OK] = "image ok",
    [KAVRI_IMAGE_BAD] = "image bad",    [KAVRI_CANCELED] = "canceled",
    [KAVRI_HOST_SILENT] = "host silent", [KAVRI_OUT_OF_STEP] = "host out of step",
};

/* ---- The host's files and console, through semihosting ------------------ */

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

static char console[200];
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

static void say_version(uint32_t major, uint32_t minor)
{
    say("V");
    say_number(major);
    say(".");
    say_number(minor);
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

/* ---- The device ---------------------------------------------------------- */

static uint32_t refused_block; /* nak=N: 1 for the first block, 0 for none */

int __real_kavri_port_store(uint32_t index, const uint8_t *block);
int __wrap_kavri_port_store(uint32_t index, const uint8_t *block)
{
    if (index + 1 == refused_block) {
        refused_block = 0;
        return KAVRI_STORE_AGAIN;
    }
    return __real_kavri_port_store(index, block);
}

static void say_identity(void)
{
    say("kavri device: UID ");
    for (int i = 0; i < 8; ++i)
        say_hex(device.uid[i]);
    say(", ");
    say_version(device.version_major, device.version_minor);
    say(", room for ");
    say_number(device.capacity_blocks);
    say(" blocks; announcing");
    say_line();
}

static void say_outcome(enum kavri_outcome outcome, const struct kavri_report *report)
{
    say("kavri device: ");
    say(outcome_words[outcome]);
    if (report->has_envelope) {
        say(" (image ");
        say_version(report->envelope.version_major, report->envelope.version_minor);
        say(", ");
        say_number(report->envelope.length);
        say(" bytes)");
    }
    say("; blocks stored: ");
    say_number(report->blocks_stored);
    say(", announcements: ");
    say_number(report->announcements);
    say(", NAKs sent: ");
    say_number(report->naks_sent);
}

int main(void)
{
    read_command_line();
    refused_block = to_number(setting("nak"));
    const char *out = setting("out");
    kavri_port_start();
    say_identity();

    struct kavri_report report;
    const enum kavri_outcome outcome = kavri_device_run(&device, &report);

    const int saved = write_host_file(out && *out ? out : "stored.bin", kavri_port_block(0),
                                      KAVRI_STORAGE_BLOCKS * KAVRI_BLOCK_SIZE);
    say_outcome(outcome, &report);
    if (saved != 0)
        say(", the storage could not be written out");
    say_line();
    /* qemu's exit closes the line, and a pseudo-terminal drops what the host
     * had not read yet: keep the line up a while for the CAN to be read. */
    if (outcome == KAVRI_CANCELED || outcome == KAVRI_OUT_OF_STEP) {
        const uint32_t start = kavri_port_millis();
        while (kavri_port_millis() - start < 1000u)
            __asm__ volatile("wfi");
    }
    if (saved == 0 && outcome == KAVRI_IMAGE_OK)
        cortex_m_start_application(kavri_port_block(1));
    semihost_exit(saved != 0 ? EXIT_NOT_SAVED : exit_statuses[outcome]);
}
