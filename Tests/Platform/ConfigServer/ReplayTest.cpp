// A store that reports other writers' commits: a server replaying them ends with the same tree and
// tells its subscribers the same modifications as the server that made them.
#include "TestSupport.h"

#include "Platform/ConfigServer/Objects.h"

#include <gtest/gtest.h>

using namespace ConfigServer;
using namespace TestSupport;

namespace
{

// Hands every commit, as the node records a shared store would hold, to the mirror's server.
class MirroringStore final : public IStore
{
public:
    HRESULT Load(NodeP& root, StoreState& state) override
    {
        root = std::make_shared<Node>();
        state = {};
        return S_OK;
    }
    HRESULT Persist(const ChangeSet& changes, const StoreState& base, StoreState& committed) override
    {
        committed = {base.revision + 1, base.sequence + 1};
        StoreCommit commit;
        commit.state = committed;
        commit.removed = changes.removed;
        for (const NodeRecord& record : changes.written)
        {
            commit.written.push_back(
                {record.Path(), record.Order(), record.Target().type, record.Target().attributes});
        }
        if (mirror != nullptr && *mirror != nullptr)
        {
            (*mirror)->OnStoreCommit(commit);
            (*mirror)->OnStoreCommit(commit); // a second report of the same commit changes nothing
        }
        return S_OK;
    }
    void Watch(IStoreObserver* observer) override { watcher = observer; }

    IStoreObserver* watcher = nullptr;
    IStoreObserver* const* mirror = nullptr;
};

// A server on a mirroring store, as the test's own.
Server Build(MirroringStore*& store)
{
    auto owned = std::make_unique<MirroringStore>();
    store = owned.get();
    std::shared_ptr<ServerCore> core;
    EXPECT_EQ(S_OK, ServerCore::Create(std::move(owned), nullptr, 1, core));
    return Server(new Proxy(core), [core] { core->Shutdown(); });
}

TEST(ConfigServerReplay, ReplayedCommitsGiveTheSameTreeAndModifications)
{
    MirroringStore* origin = nullptr;
    MirroringStore* replica = nullptr;
    Server writer = Build(origin);
    Server reader = Build(replica);
    origin->mirror = &replica->watcher;
    Recorder onWriter;
    Recorder onReader;
    IVXModifySubscription* a = writer.Subscribe(Query(L"\\A"), CFG_CHANGE_ALL, 3, onWriter);
    IVXModifySubscription* b = reader.Subscribe(Query(L"\\A"), CFG_CHANGE_ALL, 3, onReader);

    Vx first = At(L"\\A");
    first.Str(L"s", L"one").Add(Vx(L"Z", L"T")).Add(Vx(L"Y")).Add(Vx(L"X"));
    ASSERT_EQ(S_OK, writer.Put(first));
    ASSERT_EQ(S_OK, writer.Put(At(L"\\A\\Y").I64(L"n", 2)));
    ASSERT_EQ(S_OK, writer.Put(At(L"\\A\\Y").I64(L"n", 2))); // no change: nobody is told
    // Z removed and made anew (now last), X's type set.
    ASSERT_EQ(S_OK, writer.Transact(
                        [&](IConfigTransaction* t)
                        {
                            return std::vector{writer.Remove(L"\\A\\Z", t),
                                               writer.Put(At(L"\\A\\Z\\Deep"), t),
                                               writer.Put(Vx(nullptr, L"T2").Path(L"\\A\\X"), t)};
                        }));
    ASSERT_EQ(S_OK, writer.Remove(L"\\A"));
    ASSERT_EQ(S_OK, writer.Put(At(L"\\A\\Again")));

    ASSERT_TRUE(onWriter.WaitFor(5));
    ASSERT_TRUE(onReader.WaitFor(5));
    auto fromWriter = onWriter.TakeAll(CFG_TRIGGER_NODE);
    auto fromReader = onReader.TakeAll(CFG_TRIGGER_NODE);
    ASSERT_EQ(fromWriter.size(), fromReader.size());
    for (std::size_t i = 0; i < fromWriter.size(); ++i)
    {
        EXPECT_EQ(fromWriter[i].sequence, fromReader[i].sequence);
        EXPECT_EQ(fromWriter[i].mask, fromReader[i].mask) << i;
        EXPECT_EQ(static_cast<bool>(fromWriter[i].node), static_cast<bool>(fromReader[i].node));
    }
    // Made; attribute below; child removed and made anew with a type set; removed; made again.
    EXPECT_EQ((std::vector<std::int64_t>{
                  CFG_CHANGE_NODE_ADDED | CFG_CHANGE_ATTRIBUTES | CFG_CHANGE_CHILDREN | CFG_CHANGE_NODE_TYPE,
                  CFG_CHANGE_ATTRIBUTES, CFG_CHANGE_CHILDREN | CFG_CHANGE_NODE_TYPE, CFG_CHANGE_NODE_REMOVED,
                  CFG_CHANGE_NODE_ADDED | CFG_CHANGE_CHILDREN}),
              Masks(fromReader));

    // Same tree, children in the same order.
    ASSERT_EQ(S_OK, writer.Put(At(L"\\B").Add(Vx(L"Q")).Add(Vx(L"P"))));
    ASSERT_EQ(S_OK, writer.Remove(L"\\B\\Q"));
    ASSERT_EQ(S_OK, writer.Put(At(L"\\B\\Q")));
    EXPECT_EQ(writer.Export(), reader.Export());
    EXPECT_EQ(L"Q", reader.Get(L"\\B").At(1).Name());
    writer.Unsubscribe(a);
    reader.Unsubscribe(b);
}

} // namespace
