// The SQLite store across a process killed while committing.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <sys/wait.h>

using namespace TestSupport;

namespace
{

// Kills a child that commits large generations at random moments; each time the store must hold
// one whole generation, and take the next commit.
TEST(ConfigServerDurability, KilledWhileCommittingKeepsTheLastWholeCommit)
{
    TempDatabase database;
    constexpr int kCount = 5000;
    std::mt19937 random(std::random_device{}());
    for (int round = 0; round < 3; ++round)
    {
        const pid_t child = StartCommitter(database.Location(), kCount);
        ASSERT_GT(child, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40));
        ASSERT_EQ(0, kill(child, SIGKILL));
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

        Server server(database.Location());
        ASSERT_EQ(S_OK, server.created);
        EXPECT_GE(WholeGeneration(server, kCount), 1);
        ASSERT_EQ(S_OK, CommitGeneration(server, 1000 + round, kCount));
        EXPECT_EQ(1000 + round, WholeGeneration(server, kCount));
    }
}

} // namespace
