// Where the tree is kept between runs. The server holds the current tree in memory; a store loads
// it once and then receives each commit's change set, which it applies all or none.
#pragma once

#include "Platform/ConfigServer/Tree.h"

#include <functional>
#include <memory>
#include <string>

namespace ConfigServer
{

// Called after each record a store writes (written so far, total). A failure result makes the
// store undo the whole change set and return it.
using WriteProgress = std::function<HRESULT(std::size_t written, std::size_t total)>;

class IStore
{
public:
    virtual ~IStore() = default;
    // Builds the stored tree; an empty store gives a root without attributes or children.
    virtual HRESULT Load(NodeP& root) = 0;
    // Applies the change set: removals first, then the records. Durable when it returns S_OK.
    virtual HRESULT Persist(const ChangeSet& changes, const WriteProgress& progress) = 0;
};

std::unique_ptr<IStore> CreateMemoryStore();
// file is a file system path. Opens or creates the database.
HRESULT CreateSqliteStore(const std::string& file, std::unique_ptr<IStore>& store);

// Record attribute lists as stored by the SQLite store.
std::vector<std::uint8_t> EncodeAttributes(const std::vector<Attribute>& attributes);
bool DecodeAttributes(const void* data, std::size_t size, std::vector<Attribute>& attributes);

} // namespace ConfigServer
