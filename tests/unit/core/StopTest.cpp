#include "core/Stop.hpp"

#include <atomic>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

// The same contract is checked on the project's own implementation and, where
// the library has one, on the standard's, which keeps the tests honest about
// what the standard promises.

namespace kova {
namespace {

using namespace std::chrono_literals;

struct OwnStop {
    using Source = fallback::StopSource;
    using Token = fallback::StopToken;
    template <class F> using Callback = fallback::StopCallback<F>;
    using Thread = fallback::JThread;
    using Condition = fallback::ConditionVariableAny;
    static Source noState() { return Source(fallback::noStopState); }
};

#if defined(__cpp_lib_jthread)
struct StandardStop {
    using Source = std::stop_source;
    using Token = std::stop_token;
    template <class F> using Callback = std::stop_callback<F>;
    using Thread = std::jthread;
    using Condition = std::condition_variable_any;
    static Source noState() { return Source(std::nostopstate); }
};
using Implementations = ::testing::Types<OwnStop, StandardStop>;
#else
using Implementations = ::testing::Types<OwnStop>;
#endif

struct ImplementationName {
    template <class Stop> static std::string GetName(int) {
        return std::is_same_v<Stop, OwnStop> ? "Own" : "Standard";
    }
};

template <class Stop> class StopFacility : public ::testing::Test {};
TYPED_TEST_SUITE(StopFacility, Implementations, ImplementationName);

TYPED_TEST(StopFacility, TokensFollowTheirSource) {
    using Source = typename TypeParam::Source;
    using Token = typename TypeParam::Token;
    EXPECT_FALSE(Token().stop_possible());
    EXPECT_FALSE(TypeParam::noState().stop_possible());
    EXPECT_FALSE(TypeParam::noState().request_stop());
    EXPECT_EQ(Token(), Token());

    Token kept;
    {
        Source source;
        Source copy = source;
        kept = source.get_token();
        EXPECT_TRUE(kept.stop_possible());
        EXPECT_EQ(kept, copy.get_token());
        EXPECT_FALSE(kept == Source().get_token());
    }
    // Every source is gone without a request: nothing can stop it any more.
    EXPECT_FALSE(kept.stop_possible());
    EXPECT_FALSE(kept.stop_requested());

    {
        Source source;
        kept = source.get_token();
        EXPECT_TRUE(source.request_stop());
        EXPECT_FALSE(source.request_stop());
        EXPECT_TRUE(Source(source).stop_requested());
    }
    EXPECT_TRUE(kept.stop_requested());
    EXPECT_TRUE(kept.stop_possible());
}

TYPED_TEST(StopFacility, CallbackRunsOnceWhereverTheStopHappens) {
    using Source = typename TypeParam::Source;
    using Callback = typename TypeParam::template Callback<std::function<void()>>;
    Source source;
    std::vector<std::thread::id> before, after;
    int dropped = 0, unstoppable = 0;
    {
        Callback gone(source.get_token(), [&] { ++dropped; });
    }
    const Callback early(source.get_token(), [&] { before.push_back(std::this_thread::get_id()); });
    const Callback detached(typename TypeParam::Token(), [&] { ++unstoppable; });
    std::thread::id requester;
    std::thread([&] {
        requester = std::this_thread::get_id();
        source.request_stop();
        source.request_stop();
    }).join();
    const Callback late(source.get_token(), [&] { after.push_back(std::this_thread::get_id()); });

    EXPECT_EQ(before, std::vector{requester});
    EXPECT_EQ(after, std::vector{std::this_thread::get_id()});
    EXPECT_EQ(dropped, 0);
    EXPECT_EQ(unstoppable, 0);
}

TYPED_TEST(StopFacility, CallbackMayDestroyItselfAndOthers) {
    using Callback = typename TypeParam::template Callback<std::function<void()>>;
    typename TypeParam::Source source;
    std::optional<Callback> self, other;
    int runs = 0;
    // Whichever runs first removes the other; destroying itself is its last act.
    self.emplace(source.get_token(), [&] {
        ++runs;
        other.reset();
        self.reset();
    });
    other.emplace(source.get_token(), [&] {
        ++runs;
        self.reset();
        other.reset();
    });
    EXPECT_TRUE(source.request_stop());
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(self || other);
}

TYPED_TEST(StopFacility, DeregistrationWaitsForTheRunningCallback) {
    using Callback = typename TypeParam::template Callback<std::function<void()>>;
    typename TypeParam::Source source;
    std::atomic<bool> entered{false}, finished{false}, finishedAtDestruction{false};
    auto callback = std::make_unique<Callback>(source.get_token(), [&] {
        entered = true;
        // Long enough for the other thread to reach the destructor first.
        std::this_thread::sleep_for(50ms);
        finished = true;
    });
    std::thread destroyer([&] {
        while (!entered) {
            std::this_thread::yield();
        }
        callback.reset();
        finishedAtDestruction = finished.load();
    });
    source.request_stop();
    destroyer.join();
    EXPECT_TRUE(finishedAtDestruction);
}

// Registration and removal race with the request from several threads: a
// callback runs at most once, and exactly once when it lives through the request.
TYPED_TEST(StopFacility, RegistrationRacesWithTheRequest) {
    using Callback = typename TypeParam::template Callback<std::function<void()>>;
    constexpr int rounds = 200, threads = 3;
    for (int round = 0; round < rounds; ++round) {
        typename TypeParam::Source source;
        std::atomic<bool> requested{false};
        std::atomic<int> wrong{0};
        std::vector<std::thread> registrars;
        for (int t = 0; t < threads; ++t) {
            registrars.emplace_back([&, token = source.get_token()] {
                std::atomic<int> brief{0}, kept{0};
                {
                    const Callback shortLived(token, [&] { ++brief; });
                }
                {
                    const Callback longLived(token, [&] { ++kept; });
                    while (!requested) {
                        std::this_thread::yield();
                    }
                    if (kept != 1) {
                        ++wrong;
                    }
                }
                if (brief > 1 || kept != 1) {
                    ++wrong;
                }
            });
        }
        source.request_stop();
        requested = true;
        for (auto& registrar : registrars) {
            registrar.join();
        }
        ASSERT_EQ(wrong, 0) << "round " << round;
    }
}

TYPED_TEST(StopFacility, JoiningThreadStopsAndJoins) {
    using Thread = typename TypeParam::Thread;
    std::atomic<int> exited{0};
    const auto loop = [&](typename TypeParam::Token stop, int step) {
        while (!stop.stop_requested()) {
            std::this_thread::sleep_for(1ms);
        }
        exited += step;
    };
    {
        Thread first(loop, 1);
        EXPECT_TRUE(first.get_stop_token().stop_possible());
        // Moving another thread in stops and joins the one it replaces.
        first = Thread(loop, 10);
        EXPECT_EQ(exited, 1);
        Thread plain([&](int step) { exited += step; }, 100);
        plain.join();
        EXPECT_EQ(exited, 101);
    }
    EXPECT_EQ(exited, 111);

    Thread stoppedEarly(loop, 1000);
    EXPECT_TRUE(stoppedEarly.get_stop_source().request_stop());
    stoppedEarly.join();
    EXPECT_EQ(exited, 1111);
    EXPECT_FALSE(Thread().joinable());
}

TYPED_TEST(StopFacility, WaitsEndOnTheirConditionOrAStop) {
    typename TypeParam::Condition condition;
    std::mutex mutex;
    bool ready = false;
    const auto isReady = [&] { return ready; };

    typename TypeParam::Source source;
    {
        // A stop ends the wait without a notification.
        std::thread stopper([&] {
            std::this_thread::sleep_for(10ms);
            source.request_stop();
        });
        std::unique_lock lock(mutex);
        EXPECT_FALSE(condition.wait(lock, source.get_token(), isReady));
        EXPECT_TRUE(lock.owns_lock());
        stopper.join();
    }
    {
        std::unique_lock lock(mutex);
        ready = true;
        // Already stopped: the predicate answers at once.
        EXPECT_TRUE(condition.wait(lock, source.get_token(), isReady));
        ready = false;
    }

    typename TypeParam::Source fresh;
    std::thread notifier([&] {
        std::this_thread::sleep_for(10ms);
        {
            const std::lock_guard lock(mutex);
            ready = true;
        }
        condition.notify_one();
    });
    std::unique_lock lock(mutex);
    EXPECT_TRUE(condition.wait(lock, fresh.get_token(), isReady));
    lock.unlock();
    notifier.join();
    lock.lock();
    ready = false;
    EXPECT_FALSE(condition.wait_for(lock, fresh.get_token(), 5ms, isReady));
    EXPECT_FALSE(
        condition.wait_until(lock, fresh.get_token(), std::chrono::steady_clock::now() + 5ms, isReady));
    EXPECT_FALSE(condition.wait_for(lock, 5ms, isReady));
    EXPECT_TRUE(lock.owns_lock());
    EXPECT_FALSE(fresh.stop_requested());
}

} // namespace
} // namespace kova
