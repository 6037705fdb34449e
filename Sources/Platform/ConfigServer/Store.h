// Where the tree is kept between runs. The server holds the current tree in memory; a store loads
// it once and then receives each commit's change set, which it applies all or none. A store shared
// by several servers also reports the commits the others make.
#pragma once

#include "Platform/ConfigServer/Record.h"
#include "Platform/ConfigServer/Tree.h"

#include <memory>
#include <string>
#include <string_view>

namespace ConfigServer
{

// How far a store's history goes: the store's own revision of the last commit (any increasing
// number; a shared store's position in its log) and the commit's number ("CommitSequence").
struct StoreState
{
    std::uint64_t revision = 0;
    std::uint64_t sequence = 0;
};

// A commit that another writer made: the subtrees it removed (full paths), then the nodes it wrote,
// parents before children. With whole set the written nodes are the entire tree, and whatever is not
// among them is gone (a store that lost track of its history loaded everything anew).
struct StoreCommit
{
    StoreState state;
    bool whole = false;
    std::vector<std::wstring> removed;
    std::vector<StoredNode> written;
};

class IStoreObserver
{
public:
    // Called on a store thread, in commit order; commits at or before what the server holds are
    // to be ignored (a store may report one twice, or report the server's own).
    virtual void OnStoreCommit(StoreCommit& commit) = 0;

protected:
    ~IStoreObserver() = default;
};

// Persist's answer when the store moved on since base: the server catches up to
// committed.revision (0: nothing to wait for) and tries again on the newer tree.
constexpr HRESULT STORE_E_BEHIND = MakeHr(0x8000000A);

class IStore
{
public:
    virtual ~IStore() = default;
    // Builds the stored tree; an empty store gives a root without attributes or children.
    virtual HRESULT Load(NodeP& root, StoreState& state) = 0;
    // Applies the change set, computed on the tree as of base: removals first, then the records.
    // Durable when it returns S_OK; committed tells where the commit stands in the history.
    virtual HRESULT Persist(const ChangeSet& changes, const StoreState& base, StoreState& committed) = 0;
    // Starts reporting other writers' commits from the loaded state on. The store stops calling the
    // observer before it is destroyed.
    virtual void Watch(IStoreObserver* observer) { (void)observer; }
};

// Local stores: one writer, so revisions simply count the commits.
std::unique_ptr<IStore> CreateMemoryStore();
// file is a file system path. Opens or creates the database.
HRESULT CreateSqliteStore(const std::string& file, std::unique_ptr<IStore>& store);

// The store a location names: null, "" or "memory:", "sqlite:<file>", "etcd:<endpoints>/<prefix>".
// E_INVALIDARG for anything else.
HRESULT OpenStore(const wchar_t* location, std::unique_ptr<IStore>& store);

} // namespace ConfigServer
