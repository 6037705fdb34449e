#include "Platform/ConfigServer/Store.h"

namespace ConfigServer
{
namespace
{

// Keeps nothing beyond the server's own tree; it only honours the write progress, so that a
// failure in the middle of a commit behaves as with a durable store.
class MemoryStore final : public IStore
{
public:
    HRESULT Load(NodeP& root) override
    {
        root = std::make_shared<Node>();
        return S_OK;
    }

    HRESULT Persist(const ChangeSet& changes, const WriteProgress& progress) override
    {
        const std::size_t total = changes.written.size();
        for (std::size_t i = 0; i < total && progress; ++i)
        {
            HRESULT hr = progress(i + 1, total);
            if (FAILED(hr))
            {
                return hr;
            }
        }
        return S_OK;
    }
};

} // namespace

std::unique_ptr<IStore> CreateMemoryStore()
{
    return std::make_unique<MemoryStore>();
}

} // namespace ConfigServer
