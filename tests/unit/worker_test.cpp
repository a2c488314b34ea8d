// The process's one worker: work asked for from many threads at once reaches every client with
// every bit, settle() waits for it, and the thread goes with the last user.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "host/worker.h"

namespace {

struct Counting {
    std::atomic<std::uint32_t> seen{0};
    std::atomic<int> runs{0};
    host::Worker::Client client{&Counting::run, this};
    static void run(host::Worker::Client& c, std::uint32_t bits) noexcept {
        auto& self = *static_cast<Counting*>(c.owner());
        self.seen.fetch_or(bits);
        self.runs.fetch_add(1);
    }
};

TEST(Worker, PostsFromManyThreadsReachEveryClientWithEveryBit) {
    constexpr int kThreads = 4, kClients = 8, kPosts = 5000;
    {
        auto use = std::make_unique<host::Worker::Use>();
        std::array<Counting, kClients> clients;
        std::vector<std::thread> posters;
        for (int t = 0; t < kThreads; ++t)
            posters.emplace_back([&, t] {
                for (int i = 0; i < kPosts; ++i)
                    host::Worker::post(clients[i % kClients].client, 1u << t);
            });
        for (auto& p : posters) p.join();
        EXPECT_EQ(host::Worker::threads(), 1);
        for (auto& c : clients) {
            host::Worker::settle(c.client);
            EXPECT_EQ(c.seen.load(), (1u << kThreads) - 1);
            EXPECT_GE(c.runs.load(), 1);
            EXPECT_LE(c.runs.load(), kThreads * kPosts / kClients);
            EXPECT_TRUE(host::Worker::idle(c.client));
            // Asked again after settling: served again.
            c.seen = 0;
            host::Worker::post(c.client, 0x100);
            host::Worker::settle(c.client);
            EXPECT_EQ(c.seen.load(), 0x100u);
        }
    }
    EXPECT_EQ(host::Worker::threads(), 0);
}

}  // namespace
