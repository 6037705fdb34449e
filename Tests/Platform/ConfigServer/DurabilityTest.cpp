// The SQLite store across a process killed while committing.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

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
    std::int64_t last = 0;
    for (int round = 0; round < 3; ++round)
    {
        int fds[2];
        ASSERT_EQ(0, pipe(fds));
        pid_t child = fork();
        ASSERT_NE(-1, child);
        if (child == 0)
        {
            close(fds[0]);
            CommitUntilKilled(database.Location(), kCount, fds[1]);
        }
        close(fds[1]);
        char done = 0;
        ASSERT_EQ(1, read(fds[0], &done, 1)) << "the child ended before its first commit";
        close(fds[0]);
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40));
        ASSERT_EQ(0, kill(child, SIGKILL));
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

        Server server(database.Location());
        ASSERT_EQ(S_OK, server.created);
        const std::int64_t generation = WholeGeneration(server, kCount);
        EXPECT_GE(generation, 1);
        ASSERT_EQ(S_OK, CommitGeneration(server, 1000 + round, kCount));
        EXPECT_EQ(1000 + round, WholeGeneration(server, kCount));
        last = generation;
    }
    EXPECT_GE(last, 1);
}

} // namespace
