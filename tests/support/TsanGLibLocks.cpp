// Linked into every test binary of the ThreadSanitizer build (tests/CMakeLists.txt).
//
// GLib's GMutex and GCond on Linux are futexes driven by atomics inside libglib, which is not
// instrumented: ThreadSanitizer never sees GST_OBJECT_LOCK, the pad and element locks or
// g_mutex_lock in our own code, and would report every access those locks order as a race.
// These definitions stand in front of GLib's (the executable comes first in symbol lookup, and
// libglib's callers reach them through the PLT), call the real functions and tell
// ThreadSanitizer the order: what one thread did before unlocking happens before what the next
// thread does after locking the same mutex. (Only the order: handing these to ThreadSanitizer
// as mutexes would also check their lock order, and GStreamer's own locks then report
// inversions that its higher-level locks keep apart.)

#include <dlfcn.h>
#include <glib.h>

namespace {

// ThreadSanitizer's annotations for orders it cannot see (sanitizer/tsan_interface.h).
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);

template <typename F>
F Real(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

/// What every test binary of this build runs with (TSAN_OPTIONS in the environment add to it):
/// a race fails the test that ran into it; GLib's and GStreamer's own accesses among their
/// threads are not checked (their code is not instrumented; the suppression file takes what is
/// left of theirs); both stacks of a lock-order inversion of our own mutexes.
const char* __tsan_default_options() {
    return "halt_on_error=1:ignore_noninstrumented_modules=1:second_deadlock_stack=1:"
           "suppressions=" TAVREL_TSAN_SUPPRESSIONS;
}

void g_mutex_lock(GMutex* mutex) {
    static const auto real = Real<void (*)(GMutex*)>("g_mutex_lock");
    real(mutex);
    __tsan_acquire(mutex);
}

gboolean g_mutex_trylock(GMutex* mutex) {
    static const auto real = Real<gboolean (*)(GMutex*)>("g_mutex_trylock");
    const gboolean locked = real(mutex);
    if (locked)
        __tsan_acquire(mutex);
    return locked;
}

void g_mutex_unlock(GMutex* mutex) {
    static const auto real = Real<void (*)(GMutex*)>("g_mutex_unlock");
    __tsan_release(mutex);
    real(mutex);
}

void g_cond_wait(GCond* cond, GMutex* mutex) {
    static const auto real = Real<void (*)(GCond*, GMutex*)>("g_cond_wait");
    __tsan_release(mutex);
    real(cond, mutex);
    __tsan_acquire(mutex);
}

gboolean g_cond_wait_until(GCond* cond, GMutex* mutex, gint64 endTime) {
    static const auto real = Real<gboolean (*)(GCond*, GMutex*, gint64)>("g_cond_wait_until");
    __tsan_release(mutex);
    const gboolean signalled = real(cond, mutex, endTime);
    __tsan_acquire(mutex);
    return signalled;
}

}  // extern "C"
