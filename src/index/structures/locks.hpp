#pragma once
// Locks that own their data and remember failures. A guard holding write access
// that is unwound by an internal error marks its lock poisoned; every later
// access to a poisoned lock is an internal error. Python errors travelling to
// the boundary do not poison: they leave the data as the code left it.
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <utility>

#include "index/structures/errors.hpp"

namespace vorlane {

inline constexpr const char* kPoisonedLock = "lock poisoned by an earlier internal error";

namespace detail {

// Remembers how many exceptions were in flight when write access began, so the
// destructor can tell normal exit from unwinding.
class PoisonOnUnwind {
public:
    // A null flag watches nothing (and costs no thread-local lookup).
    explicit PoisonOnUnwind(std::atomic<bool>* flag) noexcept
        : flag_(flag), in_flight_(flag != nullptr ? std::uncaught_exceptions() : 0) {}
    void fire() noexcept {
        if (flag_ != nullptr && std::uncaught_exceptions() > in_flight_ &&
            InternalError::alive_on_this_thread() > 0) {
            flag_->store(true, std::memory_order_release);
        }
    }
    void disarm() noexcept { flag_ = nullptr; }

private:
    std::atomic<bool>* flag_;
    int in_flight_;
};

}  // namespace detail

// A four-byte mutex: every object carries two, so std::mutex's forty bytes
// would be a large share of a small object. Waiters sleep on the word.
class CompactMutex {
public:
    void lock() noexcept {
        uint32_t expected = 0;
        if (state_.compare_exchange_strong(expected, 1, std::memory_order_acquire)) return;
        // 2: locked with possible waiters; whoever unlocks it then wakes one.
        while (state_.exchange(2, std::memory_order_acquire) != 0) state_.wait(2, std::memory_order_relaxed);
    }
    bool try_lock() noexcept {
        uint32_t expected = 0;
        return state_.compare_exchange_strong(expected, 1, std::memory_order_acquire);
    }
    void unlock() noexcept {
        if (state_.exchange(0, std::memory_order_release) == 2) state_.notify_one();
    }

private:
    std::atomic<uint32_t> state_{0};
};

template <class T>
class Mutex {
public:
    template <class... Args>
    explicit Mutex(Args&&... args) : value_(std::forward<Args>(args)...) {}
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    class Guard {
    public:
        Guard(Guard&& other) noexcept
            : owner_(std::exchange(other.owner_, nullptr)), poison_(other.poison_) {
            other.poison_.disarm();
        }
        Guard& operator=(Guard&&) = delete;
        ~Guard() {
            if (owner_ == nullptr) return;
            poison_.fire();
            owner_->mutex_.unlock();
        }
        T& operator*() const noexcept { return owner_->value_; }
        T* operator->() const noexcept { return &owner_->value_; }
        T& get() const noexcept { return owner_->value_; }
        // A quiet guard starts watching here: an internal error that leaves the
        // section from now on poisons the lock.
        void watch() noexcept { poison_ = detail::PoisonOnUnwind(&owner_->poisoned_); }

    private:
        friend class Mutex;
        Guard(Mutex* owner, bool watching) noexcept
            : owner_(owner), poison_(watching ? &owner->poisoned_ : nullptr) {}
        Mutex* owner_;
        detail::PoisonOnUnwind poison_;
    };

    // Blocks until the lock is granted; a poisoned lock fails with `poisoned_message`.
    Guard lock(const char* poisoned_message = kPoisonedLock) {
        mutex_.lock();
        return checked(poisoned_message);
    }
    // Takes the lock only if it is free at once.
    std::optional<Guard> try_lock(const char* poisoned_message = kPoisonedLock) {
        if (!mutex_.try_lock()) return std::nullopt;
        return checked(poisoned_message);
    }
    // The same two for a section that no internal error can leave (it only
    // reads or moves values), or not before `Guard::watch()`: the guard does
    // not watch for one, which costs a thread-local lookup on either side.
    Guard lock_quiet(const char* poisoned_message = kPoisonedLock) {
        mutex_.lock();
        return checked(poisoned_message, false);
    }
    std::optional<Guard> try_lock_quiet(const char* poisoned_message = kPoisonedLock) {
        if (!mutex_.try_lock()) return std::nullopt;
        return checked(poisoned_message, false);
    }
    bool is_poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }
    // The value, read without the lock: only for a caller that excludes every
    // writer by other means (the owner documents which).
    const T& unlocked_value() const noexcept { return value_; }
    T& unlocked_value() noexcept { return value_; }

private:
    Guard checked(const char* poisoned_message, bool watching = true) {
        if (is_poisoned()) {
            mutex_.unlock();
            fail(poisoned_message);
        }
        return Guard(this, watching);
    }

    CompactMutex mutex_;
    std::atomic<bool> poisoned_{false};
    T value_;
};

template <class T>
class RwLock {
public:
    template <class... Args>
    explicit RwLock(Args&&... args) : value_(std::forward<Args>(args)...) {}
    RwLock(const RwLock&) = delete;
    RwLock& operator=(const RwLock&) = delete;

    class ReadGuard {
    public:
        ReadGuard(ReadGuard&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)) {}
        ReadGuard& operator=(ReadGuard&&) = delete;
        ~ReadGuard() {
            if (owner_ != nullptr) owner_->mutex_.unlock_shared();
        }
        const T& operator*() const noexcept { return owner_->value_; }
        const T* operator->() const noexcept { return &owner_->value_; }
        const T& get() const noexcept { return owner_->value_; }

    private:
        friend class RwLock;
        explicit ReadGuard(const RwLock* owner) noexcept : owner_(owner) {}
        const RwLock* owner_;
    };

    class WriteGuard {
    public:
        WriteGuard(WriteGuard&& other) noexcept
            : owner_(std::exchange(other.owner_, nullptr)), poison_(other.poison_) {
            other.poison_.disarm();
        }
        WriteGuard& operator=(WriteGuard&&) = delete;
        ~WriteGuard() {
            if (owner_ == nullptr) return;
            poison_.fire();
            owner_->mutex_.unlock();
        }
        T& operator*() const noexcept { return owner_->value_; }
        T* operator->() const noexcept { return &owner_->value_; }
        T& get() const noexcept { return owner_->value_; }

    private:
        friend class RwLock;
        explicit WriteGuard(RwLock* owner) noexcept : owner_(owner), poison_(&owner->poisoned_) {}
        RwLock* owner_;
        detail::PoisonOnUnwind poison_;
    };

    ReadGuard read(const char* poisoned_message = kPoisonedLock) const {
        mutex_.lock_shared();
        if (is_poisoned()) {
            mutex_.unlock_shared();
            fail(poisoned_message);
        }
        return ReadGuard(this);
    }
    std::optional<ReadGuard> try_read(const char* poisoned_message = kPoisonedLock) const {
        if (!mutex_.try_lock_shared()) return std::nullopt;
        if (is_poisoned()) {
            mutex_.unlock_shared();
            fail(poisoned_message);
        }
        return ReadGuard(this);
    }
    WriteGuard write(const char* poisoned_message = kPoisonedLock) {
        mutex_.lock();
        return checked_write(poisoned_message);
    }
    std::optional<WriteGuard> try_write(const char* poisoned_message = kPoisonedLock) {
        if (!mutex_.try_lock()) return std::nullopt;
        return checked_write(poisoned_message);
    }
    bool is_poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }

private:
    WriteGuard checked_write(const char* poisoned_message) {
        if (is_poisoned()) {
            mutex_.unlock();
            fail(poisoned_message);
        }
        return WriteGuard(this);
    }

    mutable std::shared_mutex mutex_;
    std::atomic<bool> poisoned_{false};
    T value_;
};

}  // namespace vorlane
