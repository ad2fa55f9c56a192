// SPDX-License-Identifier: MIT
/* Blink example for a C8051F30x: an LED on P0.2 breathes by software PWM,
 * with its brightness taken from tables in code memory. Built with
 * sdcc -mmcs51 --code-size 7680 into blink.ihx, the firmware a write demo puts
 * on the chip. */
#include "blink_tables.h"

__sfr __at(0x80) P0;
__sfr __at(0xA4) P0MDOUT;
__sfr __at(0xD9) PCA0MD;
__sfr __at(0xE2) XBR1;
__sfr __at(0xB2) OSCICN;

#define LED_MASK 0x04
#define PWM_STEPS 64

static void watchdog_off(void)
{
    PCA0MD &= ~0x40;
}

static void ports_init(void)
{
    OSCICN = 0x07;     /* internal oscillator at full speed */
    P0MDOUT |= LED_MASK; /* push-pull LED pin */
    XBR1 = 0x40;       /* crossbar on */
}

static void pwm_cycle(unsigned char duty)
{
    unsigned char step;
    for (step = 0; step < PWM_STEPS; ++step) {
        if (step < (duty >> 2)) {
            P0 |= LED_MASK;
        } else {
            P0 &= ~LED_MASK;
        }
    }
}

static unsigned char level_at(unsigned int index, unsigned char phase)
{
    unsigned char base = breath_table[index];
    unsigned char wobble = sine_table[(unsigned char)(phase + (index & 0xFF))];
    unsigned int mixed = (unsigned int)base * 3 + wobble;
    return gamma_table[(unsigned char)(mixed >> 2)];
}

void main(void)
{
    unsigned int index = 0;
    unsigned char phase = 0;

    watchdog_off();
    ports_init();
    for (;;) {
        pwm_cycle(level_at(index, phase));
        if (++index == sizeof breath_table) {
            index = 0;
            phase += 17;
        }
    }
}
