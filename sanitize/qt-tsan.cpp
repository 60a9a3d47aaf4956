// ThreadSanitizer builds only. Debian's Qt is not instrumented, so the
// sanitizer does not see the synchronisation that happens inside libQt5Core:
// QMutex locking, and a QThread's end being observed through wait() or
// isFinished() (Qt's threads are detached and never joined). Without it,
// every access guarded by a QMutex and every result read after wait() would
// be reported as a race.
//
// This file is linked into every executable of such a build. It defines the
// few out-of-line Qt members that our code calls for these purposes; a
// definition in the executable comes ahead of the library's, so our calls
// land here. Each forwards to Qt's own and tells the sanitizer what happened.
#include <QDeadlineTimer>
#include <QMutex>
#include <QThread>
#include <QVariant>
#include <sanitizer/tsan_interface.h>

#include <dlfcn.h>
#include <cstdio>
#include <cstdlib>

namespace {

template <typename Fn>
Fn qtOriginal(const char *symbol)
{
    void *address = dlsym(RTLD_NEXT, symbol);
    if (!address) {
        fprintf(stderr, "tsan: %s not found in the Qt library\n", symbol);
        abort();
    }
    return reinterpret_cast<Fn>(address);
}

const char threadHooked[] = "_tmx_tsan_finish_hooked";

}  // namespace

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto real = qtOriginal<void (*)(QMutex *)>("_ZN6QMutex4lockEv");
    __tsan_mutex_pre_lock(this, 0);
    real(this);
    __tsan_mutex_post_lock(this, 0, 0);
}

void QMutex::unlock() noexcept
{
    static const auto real = qtOriginal<void (*)(QMutex *)>("_ZN6QMutex6unlockEv");
    __tsan_mutex_pre_unlock(this, 0);
    real(this);
    __tsan_mutex_post_unlock(this, 0);
}

bool QMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto real = qtOriginal<bool (*)(QMutex *, int)>("_ZN6QMutex7tryLockEi");
    __tsan_mutex_pre_lock(this, __tsan_mutex_try_lock);
    const bool locked = real(this, timeout);
    __tsan_mutex_post_lock(this,
                           locked ? __tsan_mutex_try_lock
                                  : __tsan_mutex_try_lock | __tsan_mutex_try_lock_failed,
                           0);
    return locked;
}

// The thread announces its end from inside itself (finished() is emitted on
// the thread before Qt marks it as no longer running); whoever then sees it
// finished acquires what it did. The slot captures nothing: reading a
// capture would come before the release, and the thread's owner may delete
// the slot with the thread as soon as it sees the thread finished.
void QThread::start(Priority priority)
{
    static const auto real =
        qtOriginal<void (*)(QThread *, Priority)>("_ZN7QThread5startENS_8PriorityE");
    if (!property(threadHooked).toBool()) {
        setProperty(threadHooked, true);
        connect(this, &QThread::finished, this, [] { __tsan_release(QThread::currentThread()); },
                Qt::DirectConnection);
    }
    real(this, priority);
}

bool QThread::wait(QDeadlineTimer deadline)
{
    static const auto real =
        qtOriginal<bool (*)(QThread *, QDeadlineTimer)>("_ZN7QThread4waitE14QDeadlineTimer");
    const bool finished = real(this, deadline);
    if (finished)
        __tsan_acquire(this);
    return finished;
}

bool QThread::wait(unsigned long time)
{
    static const auto real = qtOriginal<bool (*)(QThread *, unsigned long)>("_ZN7QThread4waitEm");
    const bool finished = real(this, time);
    if (finished)
        __tsan_acquire(this);
    return finished;
}

bool QThread::isFinished() const
{
    static const auto real = qtOriginal<bool (*)(const QThread *)>("_ZNK7QThread10isFinishedEv");
    const bool finished = real(this);
    if (finished)
        __tsan_acquire(const_cast<QThread *>(this));
    return finished;
}
