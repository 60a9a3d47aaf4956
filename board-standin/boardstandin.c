/*
 * Stand-in for the board support library, for development machines and tests.
 *
 *   LORENTAK_USART_PORT  serial device to report (default /dev/ttyS1)
 *   LORENTAK_SPI         "loopback" (default): rx = tx; "zero": rx is all zeros;
 *                        "fail": the transfer fails and writes nothing into rx;
 *                        "dtmf-hash": rx is the shield's microphone hearing a
 *                        visitor play the DTMF tone of # (941 and 1477 Hz)
 *                        for 200 ms of every second, silence between
 *   LORENTAK_SPI_TRACE   file to append one line per call to
 */
#define _GNU_SOURCE
#include "libvelk-board-lorentak.h"

#include <fcntl.h>
#include <math.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static pthread_once_t setupOnce = PTHREAD_ONCE_INIT;
static int traceFd = -1;
static int spiZero;
static int spiFail;
static int spiDtmf;
static unsigned long long dtmfSample;   /* samples of the tone's pattern so far */
static char *usartPort;
static atomic_int chipSelect = 1;

/* The environment is read once, on the first call of any function. */
static void setup(void)
{
    const char *path = getenv("LORENTAK_SPI_TRACE");
    if (path && *path)
        traceFd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);

    const char *mode = getenv("LORENTAK_SPI");
    spiZero = mode && strcmp(mode, "zero") == 0;
    spiFail = mode && strcmp(mode, "fail") == 0;
    spiDtmf = mode && strcmp(mode, "dtmf-hash") == 0;

    const char *port = getenv("LORENTAK_USART_PORT");
    usartPort = strdup(port && *port ? port : "/dev/ttyS1");
}

/* One write() per line, so lines from different calls never interleave. */
static void trace(const char *line, size_t len)
{
    pthread_once(&setupOnce, setup);
    if (traceFd < 0)
        return;
    ssize_t ignored = write(traceFd, line, len);
    (void)ignored;
}

void board_lib_init(void) { trace("init lib\n", 9); }
void board_gpio_init(void) { trace("init gpio\n", 10); }
void board_spi_init(void) { trace("init spi\n", 9); }

void board_spi_set_cs(uint8_t level)
{
    atomic_store(&chipSelect, level);
}

void board_spi_transfer(uint8_t *tx, uint8_t *rx, uint16_t len)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    pthread_once(&setupOnce, setup);

    if (traceFd >= 0) {
        if (atomic_load(&chipSelect) != 0)
            trace("error cs\n", 9);
        unsigned char head[4] = {0, 0, 0, 0};
        memcpy(head, tx, len < 4 ? len : 4);
        char line[80];
        int n = snprintf(line, sizeof line, "xfer %lld %02x%02x%02x%02x %u\n",
                         (long long)now.tv_sec * 1000000000LL + now.tv_nsec,
                         head[0], head[1], head[2], head[3], (unsigned)len);
        trace(line, (size_t)n);
    }

    if (spiFail)
        return;
    if (spiDtmf) {
        /* One 16-bit sample per word, as the shield sends them. */
        uint16_t *words = (uint16_t *)rx;
        for (uint16_t i = 0; i < len / 2; ++i, ++dtmfSample) {
            const unsigned long long n = dtmfSample % 8000;
            const double t = (double)n / 8000;
            const double v = n < 1600 ? 8000 * (sin(2 * M_PI * 941 * t) + sin(2 * M_PI * 1477 * t)) : 0;
            words[i] = (uint16_t)(int16_t)lrint(v);
        }
        return;
    }
    if (spiZero)
        memset(rx, 0, len);
    else
        memmove(rx, tx, len);
}

char *board_usart_get_port(void)
{
    pthread_once(&setupOnce, setup);
    return usartPort;
}
