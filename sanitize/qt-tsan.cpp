// ThreadSanitizer builds only: Debian's Qt is not instrumented, so the
// sanitizer never sees QMutex lock and unlock happen inside libQt5Core and
// would report every access guarded by a QMutex as a race. Defining the three
// out-of-line QMutex members in the executable puts our definitions ahead of
// Qt's; each forwards to Qt's own and tells the sanitizer what happened.
// Mangled names are used so that this file needs no Qt headers.
#include <sanitizer/tsan_interface.h>

#include <dlfcn.h>
#include <cstdio>
#include <cstdlib>

namespace {

void *qtSymbol(const char *name)
{
    void *symbol = dlsym(RTLD_NEXT, name);
    if (!symbol) {
        fprintf(stderr, "tsan: %s not found in the Qt library\n", name);
        abort();
    }
    return symbol;
}

using LockFn = void (*)(void *);
using UnlockFn = void (*)(void *);
using TryLockFn = bool (*)(void *, int);

}  // namespace

extern "C" {

void tmx_qmutex_lock(void *mutex) __asm__("_ZN6QMutex4lockEv");
void tmx_qmutex_unlock(void *mutex) __asm__("_ZN6QMutex6unlockEv");
bool tmx_qmutex_trylock(void *mutex, int timeout) __asm__("_ZN6QMutex7tryLockEi");

void tmx_qmutex_lock(void *mutex)
{
    static const LockFn real = reinterpret_cast<LockFn>(qtSymbol("_ZN6QMutex4lockEv"));
    __tsan_mutex_pre_lock(mutex, 0);
    real(mutex);
    __tsan_mutex_post_lock(mutex, 0, 0);
}

void tmx_qmutex_unlock(void *mutex)
{
    static const UnlockFn real = reinterpret_cast<UnlockFn>(qtSymbol("_ZN6QMutex6unlockEv"));
    __tsan_mutex_pre_unlock(mutex, 0);
    real(mutex);
    __tsan_mutex_post_unlock(mutex, 0);
}

bool tmx_qmutex_trylock(void *mutex, int timeout)
{
    static const TryLockFn real = reinterpret_cast<TryLockFn>(qtSymbol("_ZN6QMutex7tryLockEi"));
    __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
    const bool locked = real(mutex, timeout);
    __tsan_mutex_post_lock(mutex, locked ? __tsan_mutex_try_lock
                                         : __tsan_mutex_try_lock | __tsan_mutex_try_lock_failed, 0);
    return locked;
}

}  // extern "C"
