// What ThreadSanitizer once found, kept as tests that it checks again
// (scripts/sanitize.sh tsan); in a plain build they check the same values.
#include <gtest/gtest.h>
#include <atomic>
#include <thread>
#include "network.h"

namespace {

void ignoreClient(Network&) {}

}  // namespace

// The dialog and the tests ask for the port while the tracking worker
// starts and stops the server on its own thread.
TEST(ServerAcrossThreads, PortIsReadWhileAnotherThreadStartsAndStops) {
    Network server;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int round = 0; round < 20; ++round) {
            server.start(0, ignoreClient);
            EXPECT_GT(server.port(), 0);
            server.stop();
            EXPECT_EQ(server.port(), 0);
        }
        done = true;
    });
    long reads = 0;
    while (!done) {
        EXPECT_GE(server.port(), 0);
        ++reads;
    }
    worker.join();
    EXPECT_GT(reads, 0);
}
