#ifndef LIBVELK_BOARD_LORENTAK_H
#define LIBVELK_BOARD_LORENTAK_H

/* Board support library of the adapter board (libvelk-board-lorentak.so.1).
 * Only the calls the driver uses are declared here. */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void board_lib_init(void);
void board_gpio_init(void);
void board_spi_init(void);

/* 0 selects the shield for a transfer, 1 releases it. */
void board_spi_set_cs(uint8_t level);

/* Full duplex: on return len bytes of tx are sent and len bytes of rx are filled. */
void board_spi_transfer(uint8_t *tx, uint8_t *rx, uint16_t len);

/* Name of the serial device that leads to the shield's microcontroller. */
char *board_usart_get_port(void);

#ifdef __cplusplus
}
#endif

#endif
