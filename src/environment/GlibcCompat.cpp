// The agent is built on a current distribution but must load where glibc is as old as 2.28.
// The link redirects every reference to a newer glibc symbol version, ours and those of the
// statically linked C++ runtime and unwinder alike (--wrap, see CMakeLists.txt), to the
// functions below: each calls the oldest version of the same function, or does the work with
// functions that 2.28 has. tests/profiler/check_symbol_versions.py keeps the list complete.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

// Binds `name_old` to `name@version`: a reference to the old one is a reference to that version.
#define QX_OLD_VERSION(name, version) __asm__(".symver " #name "_old, " #name "@" version)

extern "C" {

int pthread_create_old(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int pthread_join_old(pthread_t, void**);
int pthread_detach_old(pthread_t);
int pthread_once_old(pthread_once_t*, void (*)());
int pthread_key_create_old(pthread_key_t*, void (*)(void*));
int __pthread_key_create_old(pthread_key_t*, void (*)(void*));
int pthread_key_delete_old(pthread_key_t);
void* pthread_getspecific_old(pthread_key_t);
int pthread_setspecific_old(pthread_key_t, const void*);
int pthread_mutex_trylock_old(pthread_mutex_t*);
int pthread_setname_np_old(pthread_t, const char*);
int pthread_sigmask_old(int, const sigset_t*, sigset_t*);
void* dlopen_old(const char*, int);
void* dlsym_old(void*, const char*);
int __xstat_old(int, const char*, struct stat*);
int __lxstat_old(int, const char*, struct stat*);
int __fxstat_old(int, int, struct stat*);
int __fxstat64_old(int, int, struct stat64*);

QX_OLD_VERSION(pthread_create, "GLIBC_2.2.5");
QX_OLD_VERSION(pthread_join, "GLIBC_2.2.5");
QX_OLD_VERSION(pthread_detach, "GLIBC_2.2.5");
QX_OLD_VERSION(pthread_once, "GLIBC_2.2.5");
QX_OLD_VERSION(pthread_key_create, "GLIBC_2.2.5");
QX_OLD_VERSION(__pthread_key_create, "GLIBC_2.2.5");
QX_OLD_VERSION(pthread_key_delete, "GLIBC_2.2.5");
QX_OLD_VERSION(pthread_getspecific, "GLIBC_2.2.5");
QX_OLD_VERSION(pthread_setspecific, "GLIBC_2.2.5");
QX_OLD_VERSION(pthread_mutex_trylock, "GLIBC_2.2.5");
QX_OLD_VERSION(pthread_setname_np, "GLIBC_2.12");
QX_OLD_VERSION(pthread_sigmask, "GLIBC_2.2.5");
QX_OLD_VERSION(dlopen, "GLIBC_2.2.5");
QX_OLD_VERSION(dlsym, "GLIBC_2.2.5");
QX_OLD_VERSION(__xstat, "GLIBC_2.2.5");
QX_OLD_VERSION(__lxstat, "GLIBC_2.2.5");
QX_OLD_VERSION(__fxstat, "GLIBC_2.2.5");
QX_OLD_VERSION(__fxstat64, "GLIBC_2.2.5");

// The stat family's old entry points take the layout version; x86-64 has only this one.
constexpr int StatLayout = 1;

int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument) {
    return pthread_create_old(thread, attributes, start, argument);
}
int __wrap_pthread_join(pthread_t thread, void** result) { return pthread_join_old(thread, result); }
int __wrap_pthread_detach(pthread_t thread) { return pthread_detach_old(thread); }
int __wrap_pthread_once(pthread_once_t* once, void (*routine)()) { return pthread_once_old(once, routine); }
int __wrap_pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
    return pthread_key_create_old(key, destructor);
}
// The C++ runtime takes the presence of this one as "threads are in use".
int __wrap___pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
    return __pthread_key_create_old(key, destructor);
}
int __wrap_pthread_key_delete(pthread_key_t key) { return pthread_key_delete_old(key); }
void* __wrap_pthread_getspecific(pthread_key_t key) { return pthread_getspecific_old(key); }
int __wrap_pthread_setspecific(pthread_key_t key, const void* value) { return pthread_setspecific_old(key, value); }
int __wrap_pthread_mutex_trylock(pthread_mutex_t* mutex) { return pthread_mutex_trylock_old(mutex); }
int __wrap_pthread_setname_np(pthread_t thread, const char* name) { return pthread_setname_np_old(thread, name); }
int __wrap_pthread_sigmask(int how, const sigset_t* set, sigset_t* old) { return pthread_sigmask_old(how, set, old); }
void* __wrap_dlopen(const char* file, int mode) { return dlopen_old(file, mode); }
void* __wrap_dlsym(void* handle, const char* name) { return dlsym_old(handle, name); }

int __wrap_stat(const char* path, struct stat* buffer) { return __xstat_old(StatLayout, path, buffer); }
int __wrap_lstat(const char* path, struct stat* buffer) { return __lxstat_old(StatLayout, path, buffer); }
int __wrap_fstat(int fd, struct stat* buffer) { return __fxstat_old(StatLayout, fd, buffer); }
int __wrap_fstat64(int fd, struct stat64* buffer) { return __fxstat64_old(StatLayout, fd, buffer); }

// Waits on a condition variable made with the default (real-time) clock until a time of the
// given clock: the time left is carried over to the real-time clock. Callers re-check their
// clock after every wake-up, so a clock step only makes a wait end early or late, never hang.
int __wrap_pthread_cond_clockwait(pthread_cond_t* condition, pthread_mutex_t* mutex, clockid_t clock,
                                  const struct timespec* until) {
    if (clock == CLOCK_REALTIME) return pthread_cond_timedwait(condition, mutex, until);
    struct timespec now {
    }, deadline{};
    if (clock_gettime(clock, &now) != 0) return EINVAL;
    int64_t left = (static_cast<int64_t>(until->tv_sec) - now.tv_sec) * 1000000000 + (until->tv_nsec - now.tv_nsec);
    if (left < 0) left = 0;
    clock_gettime(CLOCK_REALTIME, &deadline);
    int64_t nanoseconds = deadline.tv_nsec + left % 1000000000;
    deadline.tv_sec += static_cast<time_t>(left / 1000000000 + nanoseconds / 1000000000);
    deadline.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    return pthread_cond_timedwait(condition, mutex, &deadline);
}

// Random bytes for the C++ runtime's random_device.
uint32_t __wrap_arc4random() {
    uint32_t value = 0;
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (getrandom(&value, sizeof value, 0) == static_cast<ssize_t>(sizeof value)) return value;
        if (errno != EINTR) break;
    }
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (read(fd, &value, sizeof value) != static_cast<ssize_t>(sizeof value)) value = 0;
        close(fd);
    }
    if (value == 0) {
        struct timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        value = static_cast<uint32_t>(now.tv_nsec) ^ static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&now));
    }
    return value;
}

// The C++ runtime skips atomic reference counting when this says the process has one thread;
// the runtime that hosts the agent never does.
char __wrap___libc_single_threaded = 0;

// The unwinder asks which loaded object holds an address and where its unwind tables are; the
// program headers of every loaded object tell it. Runs only while an exception is thrown.
namespace {

struct ObjectSearch {
    uintptr_t address;
    dl_find_object* result;
    bool found;
};

int FindObject(dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<ObjectSearch*>(data);
    uintptr_t start = UINTPTR_MAX, end = 0;
    bool contains = false;
    const void* frames = nullptr;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        const uintptr_t begin = info->dlpi_addr + header.p_vaddr;
        if (header.p_type == PT_LOAD) {
            if (begin < start) start = begin;
            if (begin + header.p_memsz > end) end = begin + header.p_memsz;
            if (search->address >= begin && search->address < begin + header.p_memsz) contains = true;
        } else if (header.p_type == PT_GNU_EH_FRAME) {
            frames = reinterpret_cast<const void*>(begin);
        }
    }
    if (!contains) return 0;
    std::memset(search->result, 0, sizeof *search->result);
    search->result->dlfo_map_start = reinterpret_cast<void*>(start);
    search->result->dlfo_map_end = reinterpret_cast<void*>(end);
    search->result->dlfo_eh_frame = const_cast<void*>(frames);
    search->found = true;
    return 1;
}

}  // namespace

int __wrap__dl_find_object(void* address, dl_find_object* result) {
    ObjectSearch search{reinterpret_cast<uintptr_t>(address), result, false};
    dl_iterate_phdr(FindObject, &search);
    return search.found ? 0 : -1;
}

}  // extern "C"
