/* Bare start-up for the emulated Cortex-M3 board: the vector table with the
 * initial stack pointer, a reset handler that sets up .data and .bss and
 * calls main, and a fault handler that ends the run with a failure instead
 * of hanging until the test's time limit. */
#include "semihosting.h"

#include <stdint.h>

extern uint32_t __data_start, __data_end, __data_load, __bss_start, __bss_end, __stack_top;

int main(void);
void reset_handler(void);
static void fault_handler(void);

/* Initial SP, reset, NMI, HardFault, MemManage, BusFault, UsageFault. The
 * test uses no interrupts, so the table stops there. */
__attribute__((section(".vectors"), used)) static void (*const vector_table[])(void) = {
    (void (*)(void))(uintptr_t)&__stack_top,
    reset_handler,
    fault_handler,
    fault_handler,
    fault_handler,
    fault_handler,
    fault_handler,
};

void reset_handler(void)
{
    const uint32_t* from = &__data_load;
    for (uint32_t* to = &__data_start; to < &__data_end;)
        *to++ = *from++;
    for (uint32_t* to = &__bss_start; to < &__bss_end;)
        *to++ = 0;
    semihosting_exit(main() == 0);
}

static void fault_handler(void)
{
    semihosting_write("fault: the processor took an exception\n");
    semihosting_exit(0);
}
