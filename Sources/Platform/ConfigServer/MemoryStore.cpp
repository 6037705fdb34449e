#include "Platform/ConfigServer/Store.h"

namespace ConfigServer
{
namespace
{

// Keeps nothing beyond the server's own tree.
class MemoryStore final : public IStore
{
public:
    HRESULT Load(NodeP& root, StoreState& state) override
    {
        root = std::make_shared<Node>();
        state = StoreState{};
        return S_OK;
    }

    HRESULT Persist(const ChangeSet&, const StoreState& base, StoreState& committed) override
    {
        committed = {base.revision + 1, base.sequence + 1};
        return S_OK;
    }
};

} // namespace

std::unique_ptr<IStore> CreateMemoryStore()
{
    return std::make_unique<MemoryStore>();
}

} // namespace ConfigServer
