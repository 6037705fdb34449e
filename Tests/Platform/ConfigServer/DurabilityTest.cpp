// The SQLite store across a process killed while committing.
#include "TestSupport.h"

#include "Platform/ConfigServer/Server.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

using namespace ConfigServer;
using namespace TestSupport;

namespace
{

// Passes everything to the SQLite store, and stops the process for good halfway through the
// writes of a large commit, after telling the parent.
class PausingStore final : public IStore
{
public:
    PausingStore(std::unique_ptr<IStore> inner, int fd) : m_inner(std::move(inner)), m_fd(fd) {}
    HRESULT Load(NodeP& root) override { return m_inner->Load(root); }
    HRESULT Persist(const ChangeSet& changes, const WriteProgress&) override
    {
        return m_inner->Persist(changes,
                                [this](std::size_t written, std::size_t total)
                                {
                                    if (total >= 1000 && written == total / 2)
                                    {
                                        char paused = 'p';
                                        (void)!write(m_fd, &paused, 1);
                                        for (;;)
                                        {
                                            pause();
                                        }
                                    }
                                    return S_OK;
                                });
    }

private:
    std::unique_ptr<IStore> m_inner;
    int m_fd;
};

PutOperation PutAt(std::vector<std::wstring> path, std::int64_t value)
{
    PutOperation put;
    for (const std::wstring& name : path)
    {
        put.path += L'\\' + name;
    }
    put.node.attributes.push_back({L"v", VXN_ATTR_INT64, std::vector<std::uint8_t>(8, 0)});
    std::memcpy(put.node.attributes[0].value.data(), &value, sizeof(value));
    return put;
}

// Any failure here ends the child early, which the parent reports.
[[noreturn]] void RunChild(const std::string& file, int signalFd)
{
    std::unique_ptr<IStore> sqlite;
    std::shared_ptr<ServerCore> core;
    CreateSqliteStore(file, sqlite);
    ServerCore::Create(std::make_unique<PausingStore>(std::move(sqlite), signalFd), 1, core);
    for (int i = 0; i < 20; ++i)
    {
        core->Commit({PutAt({L"Commits", L"C" + std::to_wstring(i)}, i)});
    }
    Operations large;
    RemoveOperation removeFirst;
    removeFirst.path.assign({L"Commits", L"C0"});
    large.emplace_back(std::in_place_type<RemoveOperation>, std::move(removeFirst));
    for (int i = 0; i < 5000; ++i)
    {
        large.push_back(PutAt({L"Big", L"N" + std::to_wstring(i)}, i));
    }
    core->Commit(large); // never returns: the parent kills us halfway through
    _exit(4);
}

TEST(ConfigServerDurability, KilledInTheMiddleOfACommitKeepsEveryEarlierCommitAndNothingOfIt)
{
    TempDatabase database;
    const std::string file = database.path.string();
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0)
    {
        close(fds[0]);
        RunChild(file, fds[1]);
    }
    close(fds[1]);
    char paused = 0;
    ASSERT_EQ(1, read(fds[0], &paused, 1)) << "the child ended before committing";
    close(fds[0]);
    ASSERT_EQ(0, kill(child, SIGKILL));
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    std::unique_ptr<IStore> store;
    ASSERT_EQ(S_OK, CreateSqliteStore(file, store));
    NodeP root;
    ASSERT_EQ(S_OK, store->Load(root));
    NodeP commits = root->FindChild(L"Commits");
    ASSERT_TRUE(commits);
    ASSERT_EQ(20u, commits->children.Size()); // the removal of C0 was part of the lost commit
    std::int64_t expected = 0;
    ForEachChild(*commits,
                 [&](const Node& node)
                 {
                     EXPECT_EQ(L"C" + std::to_wstring(expected), node.name);
                     std::int64_t value = -1;
                     std::memcpy(&value, node.FindAttribute(L"v")->value.data(), sizeof(value));
                     EXPECT_EQ(expected++, value);
                 });
    EXPECT_FALSE(root->FindChild(L"Big"));

    // The store takes commits again, and new children follow the old ones.
    std::shared_ptr<ServerCore> core;
    ASSERT_EQ(S_OK, ServerCore::Create(std::move(store), 1, core));
    ASSERT_EQ(S_OK, core->Commit({PutAt({L"Commits", L"After"}, 99)}));
    core.reset();
    ASSERT_EQ(S_OK, CreateSqliteStore(file, store));
    ASSERT_EQ(S_OK, store->Load(root));
    std::wstring last;
    ForEachChild(*root->FindChild(L"Commits"), [&](const Node& node) { last = node.name; });
    EXPECT_EQ(L"After", last);
}

} // namespace
