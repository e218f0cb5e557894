#pragma once

// Cooperative cancellation: a stop source and its tokens, callbacks run on a
// stop request, a thread that is asked to stop and joined when it goes out of
// scope, and condition-variable waits that end on a stop request.
//
// The standard types are used where the library has them (__cpp_lib_jthread);
// LLVM's library, the one Apple ships, has them only from LLVM 20 on. Elsewhere
// the names below are the implementation in kova::fallback, which is always
// compiled so it is tested on every toolchain. Building with KOVA_OWN_STOP=1
// selects it even where the library has its own.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <version>

#if defined(__cpp_lib_jthread)
#include <stop_token>
#endif

namespace kova {
namespace fallback {

struct NoStopState {
    explicit NoStopState() = default;
};
inline constexpr NoStopState noStopState{};

class StopSource;
class StopToken;
template <class Callback> class StopCallback;

namespace detail {

// One registered callback, linked into its stop state's list until it runs or
// is deregistered.
struct CallbackNode {
    void (*run)(CallbackNode&) noexcept = nullptr;
    CallbackNode* previous = nullptr;
    CallbackNode* next = nullptr;
    bool listed = false;
};

// Shared by a source, its copies, its tokens and the callbacks on them. The
// mutex guards the list, `running` and `requester`; `requested` is also read
// without it.
class StopState {
public:
    enum class Registration { listed, runNow, never };

    std::atomic<bool> requested{false};
    std::atomic<std::size_t> sources{0};

    Registration add(CallbackNode& node) {
        std::lock_guard lock(mutex_);
        if (requested.load(std::memory_order_relaxed)) {
            return Registration::runNow;
        }
        if (sources.load(std::memory_order_relaxed) == 0) {
            return Registration::never;
        }
        node.previous = nullptr;
        node.next = head_;
        if (head_ != nullptr) {
            head_->previous = &node;
        }
        head_ = &node;
        node.listed = true;
        return Registration::listed;
    }

    // Returns once the callback can neither start nor be running, except when
    // it is being destroyed by its own invocation, which must not wait for
    // itself.
    void remove(CallbackNode& node) {
        std::unique_lock lock(mutex_);
        if (node.listed) {
            unlink(node);
            return;
        }
        if (running_ != &node || requester_ == std::this_thread::get_id()) {
            return;
        }
        finished_.wait(lock, [&] { return running_ != &node; });
    }

    // Runs every registered callback on this thread, one at a time and with
    // the mutex released, so a callback may register or remove others.
    bool request() {
        std::unique_lock lock(mutex_);
        if (requested.load(std::memory_order_relaxed)) {
            return false;
        }
        requested.store(true, std::memory_order_release);
        requester_ = std::this_thread::get_id();
        while (head_ != nullptr) {
            CallbackNode& node = *head_;
            unlink(node);
            running_ = &node;
            lock.unlock();
            // The node may be gone once run returns (a callback may destroy itself).
            node.run(node);
            lock.lock();
            running_ = nullptr;
            finished_.notify_all();
        }
        return true;
    }

private:
    void unlink(CallbackNode& node) {
        if (node.previous != nullptr) {
            node.previous->next = node.next;
        } else {
            head_ = node.next;
        }
        if (node.next != nullptr) {
            node.next->previous = node.previous;
        }
        node.previous = node.next = nullptr;
        node.listed = false;
    }

    std::mutex mutex_;
    std::condition_variable finished_;
    CallbackNode* head_ = nullptr;
    CallbackNode* running_ = nullptr;
    std::thread::id requester_;
};

} // namespace detail

// A view of a source's stop state; cheap to copy, may outlive the source.
class StopToken {
public:
    StopToken() noexcept = default;

    [[nodiscard]] bool stop_requested() const noexcept {
        return state_ != nullptr && state_->requested.load(std::memory_order_acquire);
    }
    // False when no source is left that could still request a stop.
    [[nodiscard]] bool stop_possible() const noexcept {
        return state_ != nullptr && (state_->requested.load(std::memory_order_acquire) ||
                                     state_->sources.load(std::memory_order_acquire) > 0);
    }
    void swap(StopToken& other) noexcept { state_.swap(other.state_); }
    friend void swap(StopToken& a, StopToken& b) noexcept { a.swap(b); }
    friend bool operator==(const StopToken& a, const StopToken& b) noexcept { return a.state_ == b.state_; }

private:
    friend class StopSource;
    template <class Callback> friend class StopCallback;

    explicit StopToken(std::shared_ptr<detail::StopState> state) noexcept : state_(std::move(state)) {}

    std::shared_ptr<detail::StopState> state_;
};

// Owns the right to request a stop; copies share one state.
class StopSource {
public:
    StopSource() : state_(std::make_shared<detail::StopState>()) { state_->sources.store(1); }
    explicit StopSource(NoStopState) noexcept {}
    StopSource(const StopSource& other) noexcept : state_(other.state_) {
        if (state_ != nullptr) {
            state_->sources.fetch_add(1, std::memory_order_relaxed);
        }
    }
    StopSource(StopSource&& other) noexcept = default;
    StopSource& operator=(const StopSource& other) noexcept {
        StopSource(other).swap(*this);
        return *this;
    }
    StopSource& operator=(StopSource&& other) noexcept {
        StopSource(std::move(other)).swap(*this);
        return *this;
    }
    ~StopSource() {
        if (state_ != nullptr) {
            state_->sources.fetch_sub(1, std::memory_order_acq_rel);
        }
    }

    // True for the one call that made the request; the callbacks have run when it returns.
    bool request_stop() noexcept { return state_ != nullptr && state_->request(); }
    [[nodiscard]] StopToken get_token() const noexcept { return StopToken(state_); }
    [[nodiscard]] bool stop_requested() const noexcept {
        return state_ != nullptr && state_->requested.load(std::memory_order_acquire);
    }
    [[nodiscard]] bool stop_possible() const noexcept { return state_ != nullptr; }
    void swap(StopSource& other) noexcept { state_.swap(other.state_); }
    friend void swap(StopSource& a, StopSource& b) noexcept { a.swap(b); }
    friend bool operator==(const StopSource& a, const StopSource& b) noexcept { return a.state_ == b.state_; }

private:
    std::shared_ptr<detail::StopState> state_;
};

// Runs the callback once when a stop is requested: in request_stop, or here in
// the constructor when the stop was requested already. The destructor waits
// for a run in progress on another thread.
template <class Callback> class StopCallback : private detail::CallbackNode {
    static_assert(std::is_invocable_v<Callback>);
    static_assert(std::is_destructible_v<Callback>);

public:
    using callback_type = Callback;

    template <class C>
    requires std::is_constructible_v<Callback, C>
    explicit StopCallback(const StopToken& token,
                          C&& callback) noexcept(std::is_nothrow_constructible_v<Callback, C>)
        : callback_(std::forward<C>(callback)) {
        attach(token.state_);
    }
    template <class C>
    requires std::is_constructible_v<Callback, C>
    explicit StopCallback(StopToken&& token,
                          C&& callback) noexcept(std::is_nothrow_constructible_v<Callback, C>)
        : callback_(std::forward<C>(callback)) {
        attach(std::move(token.state_));
    }
    ~StopCallback() {
        if (state_ != nullptr) {
            state_->remove(*this);
        }
    }
    StopCallback(const StopCallback&) = delete;
    StopCallback& operator=(const StopCallback&) = delete;

private:
    void attach(std::shared_ptr<detail::StopState> state) noexcept {
        if (state == nullptr) {
            return;
        }
        run = &invoke;
        switch (state->add(*this)) {
        case detail::StopState::Registration::listed:
            state_ = std::move(state);
            break;
        case detail::StopState::Registration::runNow:
            invoke(*this);
            break;
        case detail::StopState::Registration::never:
            break;
        }
    }
    static void invoke(detail::CallbackNode& node) noexcept {
        std::forward<Callback>(static_cast<StopCallback&>(node).callback_)();
    }

    Callback callback_;
    std::shared_ptr<detail::StopState> state_;
};

template <class Callback> StopCallback(StopToken, Callback) -> StopCallback<Callback>;

// A thread that owns a stop source: the function gets its token when it takes
// one as its first parameter, and destruction requests the stop and joins.
class JThread {
public:
    using id = std::thread::id;
    using native_handle_type = std::thread::native_handle_type;

    JThread() noexcept : source_(noStopState) {}
    template <class Function, class... Args>
    requires(!std::is_same_v<std::remove_cvref_t<Function>, JThread>) explicit JThread(Function&& function,
                                                                                       Args&&... args)
        : thread_(start(source_, std::forward<Function>(function), std::forward<Args>(args)...)) {}
    ~JThread() { stopAndJoin(); }
    JThread(JThread&&) noexcept = default;
    JThread& operator=(JThread&& other) noexcept {
        if (this != &other) {
            stopAndJoin();
            source_ = std::move(other.source_);
            thread_ = std::move(other.thread_);
        }
        return *this;
    }
    JThread(const JThread&) = delete;
    JThread& operator=(const JThread&) = delete;

    [[nodiscard]] bool joinable() const noexcept { return thread_.joinable(); }
    void join() { thread_.join(); }
    void detach() { thread_.detach(); }
    [[nodiscard]] id get_id() const noexcept { return thread_.get_id(); }
    [[nodiscard]] native_handle_type native_handle() { return thread_.native_handle(); }
    [[nodiscard]] StopSource get_stop_source() noexcept { return source_; }
    [[nodiscard]] StopToken get_stop_token() const noexcept { return source_.get_token(); }
    bool request_stop() noexcept { return source_.request_stop(); }
    void swap(JThread& other) noexcept {
        source_.swap(other.source_);
        thread_.swap(other.thread_);
    }
    friend void swap(JThread& a, JThread& b) noexcept { a.swap(b); }
    [[nodiscard]] static unsigned int hardware_concurrency() noexcept {
        return std::thread::hardware_concurrency();
    }

private:
    template <class Function, class... Args>
    static std::thread start(const StopSource& source, Function&& function, Args&&... args) {
        if constexpr (std::is_invocable_v<std::decay_t<Function>, StopToken, std::decay_t<Args>...>) {
            return std::thread(std::forward<Function>(function), source.get_token(),
                               std::forward<Args>(args)...);
        } else {
            return std::thread(std::forward<Function>(function), std::forward<Args>(args)...);
        }
    }
    void stopAndJoin() noexcept {
        if (thread_.joinable()) {
            source_.request_stop();
            thread_.join();
        }
    }

    StopSource source_; // before thread_: the thread starts with its token
    std::thread thread_;
};

// A condition variable for any lockable, with waits that also end when a
// token's stop is requested (they then return the predicate's value).
//
// A waiter takes the internal mutex before it lets the caller's lock go, and
// notifiers take it too, so no notification (a stop's included) falls between
// the waiter's last check and its sleep. The mutex is shared with the waiters
// so one woken after the variable was destroyed can still release it.
class ConditionVariableAny {
public:
    ConditionVariableAny() : mutex_(std::make_shared<std::mutex>()) {}
    ConditionVariableAny(const ConditionVariableAny&) = delete;
    ConditionVariableAny& operator=(const ConditionVariableAny&) = delete;

    void notify_one() noexcept {
        std::lock_guard lock(*mutex_);
        cv_.notify_one();
    }
    void notify_all() noexcept {
        std::lock_guard lock(*mutex_);
        cv_.notify_all();
    }

    template <class Lock> void wait(Lock& lock) {
        const std::shared_ptr<std::mutex> mutex = mutex_;
        std::unique_lock internal(*mutex);
        const Unlocked<Lock> unlocked(lock);
        // Declared after `unlocked`: released before the caller's lock is taken again.
        std::unique_lock own(std::move(internal));
        cv_.wait(own);
    }
    template <class Lock, class Predicate> void wait(Lock& lock, Predicate predicate) {
        while (!predicate()) {
            wait(lock);
        }
    }
    template <class Lock, class Clock, class Duration>
    std::cv_status wait_until(Lock& lock, const std::chrono::time_point<Clock, Duration>& deadline) {
        const std::shared_ptr<std::mutex> mutex = mutex_;
        std::unique_lock internal(*mutex);
        const Unlocked<Lock> unlocked(lock);
        std::unique_lock own(std::move(internal));
        return cv_.wait_until(own, deadline);
    }
    template <class Lock, class Clock, class Duration, class Predicate>
    bool wait_until(Lock& lock, const std::chrono::time_point<Clock, Duration>& deadline,
                    Predicate predicate) {
        while (!predicate()) {
            if (wait_until(lock, deadline) == std::cv_status::timeout) {
                return predicate();
            }
        }
        return true;
    }
    template <class Lock, class Rep, class Period>
    std::cv_status wait_for(Lock& lock, const std::chrono::duration<Rep, Period>& duration) {
        return wait_until(lock, deadlineAfter(duration));
    }
    template <class Lock, class Rep, class Period, class Predicate>
    bool wait_for(Lock& lock, const std::chrono::duration<Rep, Period>& duration, Predicate predicate) {
        return wait_until(lock, deadlineAfter(duration), std::move(predicate));
    }

    template <class Lock, class Predicate> bool wait(Lock& lock, StopToken token, Predicate predicate) {
        return waitWithStop(lock, token, predicate, [&](std::unique_lock<std::mutex>& own) {
            cv_.wait(own);
            return true;
        });
    }
    template <class Lock, class Clock, class Duration, class Predicate>
    bool wait_until(Lock& lock, StopToken token, const std::chrono::time_point<Clock, Duration>& deadline,
                    Predicate predicate) {
        return waitWithStop(lock, token, predicate, [&](std::unique_lock<std::mutex>& own) {
            return cv_.wait_until(own, deadline) == std::cv_status::no_timeout;
        });
    }
    template <class Lock, class Rep, class Period, class Predicate>
    bool wait_for(Lock& lock, StopToken token, const std::chrono::duration<Rep, Period>& duration,
                  Predicate predicate) {
        return wait_until(lock, std::move(token), deadlineAfter(duration), std::move(predicate));
    }

private:
    template <class Lock> class Unlocked {
    public:
        explicit Unlocked(Lock& lock) : lock_(lock) { lock_.unlock(); }
        ~Unlocked() { lock_.lock(); }
        Unlocked(const Unlocked&) = delete;
        Unlocked& operator=(const Unlocked&) = delete;

    private:
        Lock& lock_;
    };

    template <class Rep, class Period>
    static std::chrono::steady_clock::time_point
    deadlineAfter(const std::chrono::duration<Rep, Period>& duration) {
        return std::chrono::steady_clock::now() +
               std::chrono::ceil<std::chrono::steady_clock::duration>(duration);
    }

    // sleep(own) blocks on cv_ and returns false when the deadline passed.
    template <class Lock, class Predicate, class Sleep>
    bool waitWithStop(Lock& lock, const StopToken& token, Predicate& predicate, Sleep sleep) {
        if (token.stop_requested()) {
            return predicate();
        }
        StopCallback wake(token, [this] { notify_all(); });
        while (!predicate()) {
            bool woken = false;
            {
                const std::shared_ptr<std::mutex> mutex = mutex_;
                std::unique_lock internal(*mutex);
                // The caller's lock has been held since the predicate said false.
                if (token.stop_requested()) {
                    return false;
                }
                const Unlocked<Lock> unlocked(lock);
                std::unique_lock own(std::move(internal));
                woken = sleep(own);
            }
            if (!woken) {
                return predicate();
            }
        }
        return true;
    }

    std::shared_ptr<std::mutex> mutex_;
    std::condition_variable cv_;
};

} // namespace fallback

#if defined(__cpp_lib_jthread) && !(defined(KOVA_OWN_STOP) && KOVA_OWN_STOP)

using StopSource = std::stop_source;
using StopToken = std::stop_token;
using NoStopState = std::nostopstate_t;
inline constexpr NoStopState noStopState{};
using JThread = std::jthread;
using ConditionVariableAny = std::condition_variable_any;
// A class rather than an alias template, so `StopCallback name(token, lambda)`
// deduces its type on compilers without deduction for alias templates.
template <class Callback> class StopCallback : public std::stop_callback<Callback> {
public:
    using std::stop_callback<Callback>::stop_callback;
};

#else

using StopSource = fallback::StopSource;
using StopToken = fallback::StopToken;
using NoStopState = fallback::NoStopState;
inline constexpr NoStopState noStopState{};
using JThread = fallback::JThread;
using ConditionVariableAny = fallback::ConditionVariableAny;
template <class Callback> class StopCallback : public fallback::StopCallback<Callback> {
public:
    using fallback::StopCallback<Callback>::StopCallback;
};

#endif

template <class Callback> StopCallback(StopToken, Callback) -> StopCallback<Callback>;

} // namespace kova
