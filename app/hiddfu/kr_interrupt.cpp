#include "kr_interrupt.h"

#include <atomic>

namespace kr {

namespace {

// Touched from a signal handler: must not take a lock.
std::atomic<int> g_interrupts{0};
std::atomic<bool> g_catcherActive{false};
static_assert(ATOMIC_INT_LOCK_FREE == 2 && ATOMIC_BOOL_LOCK_FREE == 2,
              "the interrupt flag must be usable from a signal handler");

} // namespace

bool interruptRequested()
{
    return g_interrupts.load(std::memory_order_acquire) > 0;
}

bool detail::countInterrupt()
{
    return g_interrupts.fetch_add(1, std::memory_order_acq_rel) == 0;
}

void detail::clearInterrupts()
{
    g_interrupts.store(0, std::memory_order_release);
}

bool detail::catcherActive()
{
    return g_catcherActive.load(std::memory_order_acquire);
}

void detail::setCatcherActive(bool active)
{
    g_catcherActive.store(active, std::memory_order_release);
}

} // namespace kr
