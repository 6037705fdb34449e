// The SQLite store across restarts and across a process killed while committing.
#include "TestSupport.h"

#include "Platform/ConfigServer/Server.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

using namespace ConfigServer;
using TestSupport::Query;
using TestSupport::Vx;

namespace
{

class TempDatabase
{
public:
    TempDatabase()
        : m_path(std::filesystem::temp_directory_path() /
                 ("cfgsrv-durable-" + std::to_string(getpid()) + ".db"))
    {
        Remove();
    }
    ~TempDatabase() { Remove(); }
    std::string Path() const { return m_path.string(); }

private:
    void Remove()
    {
        for (const char* suffix : {"", "-wal", "-shm"})
        {
            std::filesystem::remove(m_path.string() + suffix);
        }
    }
    std::filesystem::path m_path;
};

// Passes everything to the SQLite store, and stops the process for good halfway through the
// writes of a large commit, after telling the parent.
class PausingStore final : public IStore
{
public:
    PausingStore(std::unique_ptr<IStore> inner, int signalFd)
        : m_inner(std::move(inner)), m_signalFd(signalFd)
    {
    }
    HRESULT Load(NodeP& root) override { return m_inner->Load(root); }
    HRESULT Persist(const ChangeSet& changes, const WriteProgress&) override
    {
        return m_inner->Persist(changes,
                                [this](std::size_t written, std::size_t total)
                                {
                                    if (total >= 1000 && written == total / 2)
                                    {
                                        char paused = 'p';
                                        (void)!write(m_signalFd, &paused, 1);
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
    int m_signalFd;
};

PutOperation PutAt(std::vector<std::wstring> path, std::int64_t value)
{
    PutOperation put;
    put.path = std::move(path);
    put.node.attributes.push_back({L"v", VXN_ATTR_INT64, std::vector<std::uint8_t>(8, 0)});
    std::memcpy(put.node.attributes[0].value.data(), &value, sizeof(value));
    return put;
}

[[noreturn]] void RunChild(const std::string& file, int signalFd)
{
    std::unique_ptr<IStore> sqlite;
    std::shared_ptr<ServerCore> core;
    if (FAILED(CreateSqliteStore(file, sqlite)) ||
        FAILED(ServerCore::Create(std::make_unique<PausingStore>(std::move(sqlite), signalFd), 1, core)))
    {
        _exit(2);
    }
    for (int i = 0; i < 20; ++i)
    {
        if (FAILED(core->Commit({PutAt({L"Commits", L"C" + std::to_wstring(i)}, i)})))
        {
            _exit(3);
        }
    }
    std::vector<Operation> large;
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
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0)
    {
        close(fds[0]);
        RunChild(database.Path(), fds[1]);
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
    ASSERT_EQ(S_OK, CreateSqliteStore(database.Path(), store));
    NodeP root;
    ASSERT_EQ(S_OK, store->Load(root));
    NodeP commits = root->FindChild(L"Commits");
    ASSERT_TRUE(commits);
    ASSERT_EQ(20u, commits->children.size()); // the removal of C0 was part of the lost commit
    std::int64_t expected = 0;
    for (const auto& [order, node] : commits->children)
    {
        EXPECT_EQ(L"C" + std::to_wstring(expected), node->name);
        std::int64_t value = -1;
        std::memcpy(&value, node->FindAttribute(L"v")->value.data(), sizeof(value));
        EXPECT_EQ(expected++, value);
    }
    EXPECT_FALSE(root->FindChild(L"Big"));

    // The store takes commits again, and new children follow the old ones.
    std::shared_ptr<ServerCore> core;
    ASSERT_EQ(S_OK, ServerCore::Create(std::move(store), 1, core));
    ASSERT_EQ(S_OK, core->Commit({PutAt({L"Commits", L"After"}, 99)}));
    core.reset();
    ASSERT_EQ(S_OK, CreateSqliteStore(database.Path(), store));
    ASSERT_EQ(S_OK, store->Load(root));
    EXPECT_EQ(L"After", root->FindChild(L"Commits")->children.rbegin()->second->name);
}

TEST(ConfigServerDurability, ReopenedStoreHoldsTheSameTree)
{
    TempDatabase database;
    std::wstring location = L"sqlite:" + Platform::FromUtf8(database.Path());
    std::string before;
    {
        TestSupport::Server first(location.c_str());
        ASSERT_EQ(S_OK, first.created);
        IConfigStorage* storage = first.storage;
        Vx node(nullptr, L"Type");
        node.Path(L"\\A\\B").Str(L"text", L"wert ü").I64(L"n", -3).Add(Vx(L"Z")).Add(Vx(L"Y")).Add(Vx(L"X"));
        std::uint8_t flag = 1;
        VxnSetAttribute(node.Get(), L"empty", VXN_ATTR_EMPTY, nullptr, 0);
        VxnSetAttribute(node.Get(), L"flag", VXN_ATTR_BOOL, &flag, 1);
        IVXNode* nodes[] = {node.Get()};
        ASSERT_EQ(S_OK, storage->PutNodes(nullptr, 0, nodes, 1));
        ASSERT_EQ(S_OK, storage->RemoveNodes(nullptr, Query(L"\\A\\B\\Y").Get()));
        Vx again(nullptr);
        again.Path(L"\\A\\B\\Y");
        nodes[0] = again.Get();
        ASSERT_EQ(S_OK, storage->PutNodes(nullptr, 0, nodes, 1)); // now after X
        before = TestSupport::ExportText(first.proxy);
        first.Release(); // the last reference stops the server
    }
    TestSupport::Server reopened(location.c_str());
    ASSERT_EQ(S_OK, reopened.created);
    IConfigServerProxy* second = nullptr;
    EXPECT_EQ(HR_SHARING_VIOLATION, ConfigServerCreate(location.c_str(), &second)); // one server per file
    EXPECT_EQ(before, TestSupport::ExportText(reopened.proxy));
    Vx b;
    std::uint64_t found = 0;
    ASSERT_EQ(S_OK, reopened.storage->QueryNodes(Query(L"\\A\\B").Get(), 0, b.Out(), 1, &found));
    EXPECT_EQ(L"wert ü", b.GetStr(L"text"));
    ASSERT_EQ(3u, b.ChildCount());
    EXPECT_EQ(L"X", b.Child(std::uint64_t{1}).Name(VXN_NAME_OWN));
    EXPECT_EQ(L"Y", b.Child(std::uint64_t{2}).Name(VXN_NAME_OWN));
}

} // namespace
