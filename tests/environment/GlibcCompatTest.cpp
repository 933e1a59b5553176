#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <set>

// The replacements the agent's link puts in place of newer glibc symbols; called directly here,
// since the test executables are linked without the redirection.
extern "C" {
int __wrap__dl_find_object(void* address, dl_find_object* result);
int __wrap_pthread_cond_clockwait(pthread_cond_t*, pthread_mutex_t*, clockid_t, const struct timespec*);
uint32_t __wrap_arc4random();
int __wrap_stat(const char*, struct stat*);
int __wrap_fstat(int, struct stat*);
int __wrap_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int __wrap_pthread_join(pthread_t, void**);
}

namespace {

int64_t Nanoseconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

TEST(GlibcCompatTest, FindsTheObjectAndUnwindTablesOfAnAddress) {
    dl_find_object found{};
    void* code = reinterpret_cast<void*>(&Nanoseconds);
    ASSERT_EQ(__wrap__dl_find_object(code, &found), 0);
    EXPECT_LE(found.dlfo_map_start, code);
    EXPECT_GT(found.dlfo_map_end, code);
    EXPECT_NE(found.dlfo_eh_frame, nullptr);
    // The same answer as the loader's own, where it has one.
    dl_find_object reference{};
    ASSERT_EQ(_dl_find_object(code, &reference), 0);
    EXPECT_EQ(found.dlfo_eh_frame, reference.dlfo_eh_frame);
    EXPECT_EQ(__wrap__dl_find_object(reinterpret_cast<void*>(16), &found), -1);
}

TEST(GlibcCompatTest, ClockWaitHonoursAMonotonicDeadline) {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t condition = PTHREAD_COND_INITIALIZER;
    const int64_t deadline = Nanoseconds(CLOCK_MONOTONIC) + 30 * 1000000;
    const timespec until{static_cast<time_t>(deadline / 1000000000), static_cast<long>(deadline % 1000000000)};
    pthread_mutex_lock(&mutex);
    int result = 0;
    while ((result = __wrap_pthread_cond_clockwait(&condition, &mutex, CLOCK_MONOTONIC, &until)) == 0) {}
    pthread_mutex_unlock(&mutex);
    EXPECT_EQ(result, ETIMEDOUT);
    EXPECT_GE(Nanoseconds(CLOCK_MONOTONIC), deadline - 2 * 1000000);  // the real-time clock's rounding
    // A deadline already past returns at once.
    pthread_mutex_lock(&mutex);
    EXPECT_EQ(__wrap_pthread_cond_clockwait(&condition, &mutex, CLOCK_MONOTONIC, &until), ETIMEDOUT);
    pthread_mutex_unlock(&mutex);
}

TEST(GlibcCompatTest, OldEntryPointsDoTheSameWork) {
    struct stat mine {
    }, theirs{};
    ASSERT_EQ(__wrap_stat("/proc/self/exe", &mine), 0);
    ASSERT_EQ(stat("/proc/self/exe", &theirs), 0);
    EXPECT_EQ(mine.st_ino, theirs.st_ino);
    EXPECT_EQ(mine.st_size, theirs.st_size);
    EXPECT_EQ(__wrap_stat("/nonexistent/qx", &mine), -1);
    EXPECT_EQ(errno, ENOENT);
    ASSERT_EQ(__wrap_fstat(0, &mine), 0);

    pthread_t thread{};
    ASSERT_EQ(__wrap_pthread_create(
                  &thread, nullptr, [](void* value) -> void* { return value; }, reinterpret_cast<void*>(42)),
              0);
    void* result = nullptr;
    ASSERT_EQ(__wrap_pthread_join(thread, &result), 0);
    EXPECT_EQ(result, reinterpret_cast<void*>(42));

    std::set<uint32_t> values;
    for (int i = 0; i < 16; ++i) values.insert(__wrap_arc4random());
    EXPECT_GT(values.size(), 12u);
}
