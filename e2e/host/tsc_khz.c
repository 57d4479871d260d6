/*
 * Prints the host's time-stamp counter rate in kHz.
 *
 * Under TCG the guest's TSC runs at the host's rate. A guest kernel on the
 * microvm machine calibrates its TSC against the emulated PIT and, now and
 * then, fails to and hangs at boot (microvm has no HPET or PM timer to fall
 * back on). The VM runner passes this figure as tsc_early_khz= so the guest
 * skips the calibration.
 *
 * Method: count rdtsc ticks across several 10 ms windows of
 * CLOCK_MONOTONIC_RAW and print the median, which discards windows stretched
 * by preemption.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <x86intrin.h>

enum { WINDOWS = 9, WINDOW_NS = 10 * 1000 * 1000 };

static int64_t now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static double measure_window_khz(void)
{
    const int64_t start_ns = now_ns();
    const uint64_t start_tsc = __rdtsc();
    int64_t elapsed_ns;
    do {
        elapsed_ns = now_ns() - start_ns;
    } while (elapsed_ns < WINDOW_NS);
    const uint64_t ticks = __rdtsc() - start_tsc;
    return (double)ticks * 1e6 / (double)elapsed_ns;
}

static int compare_doubles(const void* a, const void* b)
{
    const double x = *(const double*)a;
    const double y = *(const double*)b;
    return (x > y) - (x < y);
}

int main(void)
{
    double khz[WINDOWS];
    for (int i = 0; i < WINDOWS; ++i)
        khz[i] = measure_window_khz();
    qsort(khz, WINDOWS, sizeof khz[0], compare_doubles);
    const double median = khz[WINDOWS / 2];
    if (median < 1000.0) {
        fprintf(stderr, "tsc_khz: implausible TSC rate %.0f kHz\n", median);
        return 1;
    }
    printf("%.0f\n", median);
    return 0;
}
