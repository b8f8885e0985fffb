#include "index/structures/locks.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace vorlane {
namespace {

TEST(Locks, InternalErrorUnderWriteAccessPoisons) {
    RwLock<int> lock(1);
    EXPECT_THROW(
        {
            auto guard = lock.write();
            *guard = 2;
            fail("boom");
        },
        InternalError);
    EXPECT_TRUE(lock.is_poisoned());
    try {
        (void)lock.read("custom text");
        FAIL() << "a poisoned lock was granted";
    } catch (const InternalError& e) {
        EXPECT_EQ(e.message(), "custom text");
    }
    EXPECT_THROW((void)lock.write(), InternalError);
    // A failed access leaves the lock free for the next one.
    EXPECT_THROW((void)lock.try_write(), InternalError);
}

TEST(Locks, OtherExceptionsAndReadGuardsDoNotPoison) {
    RwLock<int> lock(1);
    EXPECT_THROW(
        {
            auto guard = lock.write();
            throw std::runtime_error("python error");
        },
        std::runtime_error);
    EXPECT_FALSE(lock.is_poisoned());
    EXPECT_THROW(
        {
            auto guard = lock.read();
            fail("while reading");
        },
        InternalError);
    EXPECT_FALSE(lock.is_poisoned());
    EXPECT_EQ(*lock.read(), 1);

    Mutex<int> m(5);
    EXPECT_THROW(
        {
            auto guard = m.lock();
            fail("boom");
        },
        InternalError);
    EXPECT_TRUE(m.is_poisoned());
    EXPECT_THROW((void)m.lock(), InternalError);
}

TEST(Locks, CaughtInternalErrorInsideGuardDoesNotPoison) {
    Mutex<int> m(0);
    {
        auto guard = m.lock();
        try {
            fail("handled here");
        } catch (const InternalError&) {
        }
        *guard = 3;
    }
    EXPECT_FALSE(m.is_poisoned());
    EXPECT_EQ(*m.lock(), 3);
}

TEST(Locks, TryLockFailsWhileHeldElsewhere) {
    RwLock<int> lock(0);
    auto writer = lock.write();
    std::thread other([&] {
        EXPECT_FALSE(lock.try_read().has_value());
        EXPECT_FALSE(lock.try_write().has_value());
    });
    other.join();
    auto moved = std::move(writer);
    *moved = 4;
    {
        auto done = std::move(moved);
    }
    EXPECT_EQ(*lock.try_read().value(), 4);

    Mutex<int> m(0);
    auto held = m.lock();
    std::thread other2([&] { EXPECT_FALSE(m.try_lock().has_value()); });
    other2.join();
}

}  // namespace
}  // namespace vorlane
