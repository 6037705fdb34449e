// Layout under the prefix P (keys are bytes, paths UTF-8):
//   P/head        {"sequence":N,"removed":[...]}: moved by the last transaction of every commit;
//                 its mod revision is the revision of the last complete commit
//   P/lock        held (with a lease) by the writer of a commit too large for one transaction
//   P/dirty       set with the lock and cleared with the head move: a large commit under way,
//                 or one whose writer died (the next writer rolls its keys back)
//   P/tree<path>  one key per node ("P/tree\" the root, "P/tree\A\B"): order key, type, attributes
// Readers read at the head's revision and watchers hold events back until the head moves, so a
// commit is seen whole or not at all, whatever its size.
#include "Platform/ConfigServer/EtcdStore.h"

#include "Platform/ConfigServer/EtcdClient.h"
#include "Platform/Core/Text.h"

#include <unistd.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace ConfigServer
{
namespace
{

// What one etcd transaction may hold: below --max-txn-ops (128 by default) and well below
// --max-request-bytes (1.5 MiB by default), leaving room for the compares and the gateway's framing.
constexpr std::size_t kMaxOps = 120;
constexpr std::size_t kMaxBytes = 1000 * 1000;
constexpr std::size_t kOpOverhead = 32;
// The lock's lease: a dead writer's lock goes after this long; a live writer renews it.
constexpr std::int64_t kLeaseSeconds = 3;
constexpr std::size_t kPageSize = 5000;
// Commits lost in a row to other writers before a writer takes the lock, so that a server whose
// catching up is slow is not starved by one that commits back to back.
constexpr unsigned kConflictsBeforeLock = 2;

Json Bytes(std::string_view bytes)
{
    return Base64Encode(bytes);
}

Json PutOp(const std::string& key, const std::string& value, std::uint64_t lease = 0)
{
    Json put = {{"key", Bytes(key)}, {"value", Bytes(value)}};
    if (lease != 0)
    {
        put["lease"] = std::to_string(lease);
    }
    return {{"request_put", std::move(put)}};
}

Json DeleteOp(const std::string& key, const std::string& rangeEnd = std::string())
{
    Json del = {{"key", Bytes(key)}};
    if (!rangeEnd.empty())
    {
        del["range_end"] = Bytes(rangeEnd);
    }
    return {{"request_delete_range", std::move(del)}};
}

Json RangeOp(const std::string& key)
{
    return {{"request_range", {{"key", Bytes(key)}}}};
}

// A compare on the key's mod ("MOD") or create ("CREATE") revision; 0 = the key is absent.
Json Compare(const std::string& key, const char* target, std::uint64_t revision)
{
    const char* field = std::string_view(target) == "MOD" ? "mod_revision" : "create_revision";
    return {{"key", Bytes(key)}, {"target", target}, {"result", "EQUAL"}, {field, std::to_string(revision)}};
}

// The first key of a range response in a transaction's answer, or null.
const Json* FirstKv(const Json& answer, std::size_t index)
{
    auto responses = answer.find("responses");
    if (responses == answer.end() || !responses->is_array() || responses->size() <= index)
    {
        return nullptr;
    }
    const Json& response = (*responses)[index];
    auto range = response.find("response_range");
    if (range == response.end())
    {
        return nullptr;
    }
    auto kvs = range->find("kvs");
    return kvs == range->end() || !kvs->is_array() || kvs->empty() ? nullptr : &(*kvs)[0];
}

std::uint64_t Revision(const Json& answer)
{
    auto header = answer.find("header");
    return header == answer.end() ? 0 : JsonNumber(*header, "revision");
}

struct Op
{
    Json json;
    std::size_t bytes;
};

class EtcdStore final : public IStore
{
public:
    EtcdStore(std::vector<std::string> endpoints, std::string prefix)
        : m_client(std::move(endpoints)), m_prefix(std::move(prefix)), m_head(m_prefix + "/head"),
          m_lock(m_prefix + "/lock"), m_dirty(m_prefix + "/dirty"), m_tree(m_prefix + "/tree")
    {
        char host[256] = {};
        gethostname(host, sizeof(host) - 1);
        m_owner =
            std::string(host) + "/" + std::to_string(getpid()) + "/" + std::to_string(std::random_device{}());
    }

    ~EtcdStore() override
    {
        Release();
        m_stop = true;
        m_client.Wake();
        if (m_watcher.joinable())
        {
            m_watcher.join();
        }
    }

    void Pause(bool paused)
    {
        m_paused = paused;
        m_client.Wake();
    }

    HRESULT Load(NodeP& root, StoreState& state) override
    {
        try
        {
            std::vector<StoredNode> nodes;
            HRESULT hr = ReadAll(state, nodes);
            if (FAILED(hr))
            {
                return hr;
            }
            hr = Build(nodes, root);
            if (SUCCEEDED(hr))
            {
                m_watchFrom = state.revision + 1;
            }
            return hr;
        }
        catch (const std::bad_alloc&)
        {
            return E_OUTOFMEMORY;
        }
        catch (const Json::exception&)
        {
            return ETCD_E_BAD_ANSWER;
        }
    }

    // Called under the server's write lock only, so the lock state needs no lock of its own.
    HRESULT Persist(const ChangeSet& changes, const StoreState& base, StoreState& committed) override
    {
        try
        {
            if (!m_held && m_conflicts < kConflictsBeforeLock)
            {
                bool fits = false;
                HRESULT hr = PersistSmall(changes, base, committed, fits);
                if (fits)
                {
                    m_conflicts = hr == STORE_E_BEHIND ? m_conflicts + 1 : 0;
                    return hr;
                }
            }
            HRESULT hr = PersistLocked(changes, base, committed);
            if (hr != STORE_E_BEHIND)
            {
                m_conflicts = 0;
            }
            return hr;
        }
        catch (const Json::exception&)
        {
            return ETCD_E_BAD_ANSWER;
        }
    }

    void Watch(IStoreObserver* observer) override
    {
        m_observer = observer;
        m_watcher = std::thread([this] { WatchLoop(); });
    }

private:
    std::string TreeKey(const std::wstring& path) const { return m_tree + Platform::ToUtf8(path); }

    // Keys of the nodes strictly below a path.
    std::pair<std::string, std::string> Below(const std::wstring& path) const
    {
        const std::string key = TreeKey(path);
        return {key + "\\", key + "]"}; // ']' follows '\' in byte order
    }

    HRESULT Txn(const Json& compare, const Json& success, const Json& failure, Json& answer, bool& succeeded)
    {
        Json body = {{"compare", compare}, {"success", success}, {"failure", failure}};
        HRESULT hr = m_client.Call("/v3/kv/txn", body, answer);
        succeeded = SUCCEEDED(hr) && answer.value("succeeded", false);
        return hr;
    }

    std::string HeadValue(std::uint64_t sequence, const std::vector<std::wstring>& removed) const
    {
        Json head = {{"sequence", sequence}};
        if (!removed.empty())
        {
            Json paths = Json::array();
            for (const auto& path : removed)
            {
                paths.push_back(Platform::ToUtf8(path));
            }
            head["removed"] = std::move(paths);
        }
        return head.dump();
    }

    std::string LockValue(std::uint64_t lease) const
    {
        return Json{{"owner", m_owner}, {"lease", std::to_string(lease)}}.dump();
    }

    // The head's revision and sequence; an empty prefix gets its first head.
    HRESULT ReadHead(StoreState& state)
    {
        for (int attempt = 0; attempt < 2; ++attempt)
        {
            Json answer;
            HRESULT hr = m_client.Call("/v3/kv/range", {{"key", Bytes(m_head)}}, answer);
            if (FAILED(hr))
            {
                return hr;
            }
            auto kvs = answer.find("kvs");
            if (kvs != answer.end() && kvs->is_array() && !kvs->empty())
            {
                const Json head = Json::parse(JsonBytes((*kvs)[0], "value"), nullptr, false);
                if (!head.is_object() || !head.contains("sequence"))
                {
                    return HR_INVALID_DATA;
                }
                state = {JsonNumber((*kvs)[0], "mod_revision"), JsonNumber(head, "sequence")};
                return S_OK;
            }
            bool created = false;
            hr = Txn(Json::array({Compare(m_head, "CREATE", 0)}),
                     Json::array({PutOp(m_head, HeadValue(0, {}))}), Json::array(), answer, created);
            if (FAILED(hr))
            {
                return hr;
            }
        }
        return HR_INVALID_DATA;
    }

    // The tree as of the last complete commit.
    HRESULT ReadAll(StoreState& state, std::vector<StoredNode>& nodes)
    {
        HRESULT hr = ReadHead(state);
        if (FAILED(hr))
        {
            return hr;
        }
        return ReadTree(state.revision, nodes);
    }

    // Every node key with its value at the revision (0: the current one); values is false for keys
    // only, with their mod revisions in order.
    HRESULT ReadRange(
        std::uint64_t revision, bool values,
        const std::function<HRESULT(std::string key, std::string value, std::uint64_t modRevision)>& take)
    {
        std::string from = m_tree + "\\";
        const std::string end = m_tree + "]";
        for (;;)
        {
            Json request = {{"key", Bytes(from)}, {"range_end", Bytes(end)}, {"limit", kPageSize}};
            if (revision != 0)
            {
                request["revision"] = std::to_string(revision);
            }
            if (!values)
            {
                request["keys_only"] = true;
            }
            Json answer;
            HRESULT hr = m_client.Call("/v3/kv/range", request, answer);
            if (FAILED(hr))
            {
                return hr;
            }
            auto kvs = answer.find("kvs");
            if (kvs == answer.end() || !kvs->is_array() || kvs->empty())
            {
                return S_OK;
            }
            std::string last;
            for (const Json& kv : *kvs)
            {
                last = JsonBytes(kv, "key");
                hr = take(last, values ? JsonBytes(kv, "value") : std::string(),
                          JsonNumber(kv, "mod_revision"));
                if (FAILED(hr))
                {
                    return hr;
                }
            }
            if (!answer.value("more", false))
            {
                return S_OK;
            }
            from = last + '\0';
            if (revision == 0)
            {
                revision = Revision(answer); // the other pages from the same moment
            }
        }
    }

    HRESULT ReadTree(std::uint64_t revision, std::vector<StoredNode>& nodes)
    {
        nodes.clear();
        return ReadRange(revision, true,
                         [&](std::string key, std::string value, std::uint64_t)
                         {
                             StoredNode node;
                             node.path = Platform::FromUtf8(std::string_view(key).substr(m_tree.size()));
                             std::vector<std::wstring_view> components;
                             if (!SplitPathViews(node.path, components) || !DecodeNodeValue(value, node))
                             {
                                 return HR_INVALID_DATA;
                             }
                             nodes.push_back(std::move(node));
                             return S_OK;
                         });
    }

    // Nodes come in key order, so a parent always comes before its children.
    static HRESULT Build(std::vector<StoredNode>& nodes, NodeP& root)
    {
        root = std::make_shared<Node>();
        std::unordered_map<std::wstring, Node*> byPath;
        byPath.emplace(L"\\", root.get());
        for (StoredNode& stored : nodes)
        {
            Node* node = root.get();
            if (stored.path != L"\\")
            {
                const std::size_t cut = stored.path.rfind(L'\\');
                auto parent = byPath.find(cut == 0 ? std::wstring(L"\\") : stored.path.substr(0, cut));
                if (parent == byPath.end())
                {
                    return HR_INVALID_DATA;
                }
                auto child = std::make_shared<Node>();
                child->name = stored.path.substr(cut + 1);
                child->order = stored.order;
                node = child.get();
                parent->second->children.Load(std::move(child));
                byPath.emplace(stored.path, node);
            }
            node->type = std::move(stored.type);
            node->attributes = std::move(stored.attributes);
        }
        for (auto& [path, loaded] : byPath)
        {
            loaded->children.Restore();
        }
        return S_OK;
    }

    // Removed paths without those below another removed path.
    static std::vector<std::wstring> Topmost(std::vector<std::wstring> paths)
    {
        std::sort(paths.begin(), paths.end());
        std::vector<std::wstring> top;
        for (auto& path : paths)
        {
            if (!top.empty() && (path == top.back() || (path.size() > top.back().size() &&
                                                        path.compare(0, top.back().size(), top.back()) == 0 &&
                                                        path[top.back().size()] == L'\\')))
            {
                continue;
            }
            top.push_back(std::move(path));
        }
        return top;
    }

    // One transaction when the commit fits in one: compares the head and the absence of a large
    // commit, deletes exactly the removed keys that are not written again (etcd refuses a put
    // inside a deleted range of the same transaction), writes the records and moves the head.
    HRESULT PersistSmall(const ChangeSet& changes, const StoreState& base, StoreState& committed, bool& fits)
    {
        fits = false;
        const std::vector<std::wstring> removed = Topmost(changes.removed);
        std::vector<Op> ops;
        std::size_t bytes = 0;
        auto add = [&](Json op, std::size_t size)
        {
            bytes += size + kOpOverhead;
            ops.push_back({std::move(op), size});
            return ops.size() <= kMaxOps && bytes <= kMaxBytes;
        };
        if (changes.written.size() + removed.size() * 2 + 1 > kMaxOps)
        {
            return S_OK;
        }
        std::unordered_set<std::wstring> written;
        std::unordered_set<std::wstring> above; // strict ancestors of written nodes
        for (const NodeRecord& record : changes.written)
        {
            std::wstring path = record.Path();
            for (std::size_t cut = path.rfind(L'\\'); cut != std::wstring::npos && cut > 0;
                 cut = path.rfind(L'\\', cut - 1))
            {
                if (!above.insert(path.substr(0, cut)).second)
                {
                    break;
                }
            }
            written.insert(std::move(path));
        }
        for (const std::wstring& path : removed)
        {
            std::vector<std::wstring> components;
            SplitPath(path, components);
            ConstNodeP old = Lookup(changes.oldRoot, components);
            if (!old)
            {
                continue;
            }
            std::vector<std::pair<std::wstring, ConstNodeP>> pending{{path, old}};
            while (!pending.empty())
            {
                const std::wstring at = std::move(pending.back().first);
                const ConstNodeP node = std::move(pending.back().second);
                pending.pop_back();
                const bool rewritten = written.count(at) != 0;
                if (!rewritten && above.count(at) == 0)
                {
                    auto [from, to] = Below(at);
                    if (!add(DeleteOp(TreeKey(at)), at.size()) || !add(DeleteOp(from, to), at.size() * 2))
                    {
                        return S_OK;
                    }
                    continue;
                }
                if (!rewritten && !add(DeleteOp(TreeKey(at)), at.size()))
                {
                    return S_OK;
                }
                ForEachChild(*node,
                             [&](const Node& child) {
                                 pending.emplace_back(ChildPath(at, child.name), node->FindChild(child.name));
                             });
            }
        }
        for (const NodeRecord& record : changes.written)
        {
            std::string key = TreeKey(record.Path());
            std::string value = EncodeNodeValue(record.Target());
            const std::size_t size = key.size() + value.size();
            if (!add(PutOp(key, value), size))
            {
                return S_OK;
            }
        }
        const std::string head = HeadValue(base.sequence + 1, removed);
        if (!add(PutOp(m_head, head), head.size()))
        {
            return S_OK;
        }
        fits = true;
        Json success = Json::array();
        for (Op& op : ops)
        {
            success.push_back(std::move(op.json));
        }
        Json answer;
        bool succeeded = false;
        HRESULT hr = Txn(Json::array({Compare(m_head, "MOD", base.revision), Compare(m_dirty, "CREATE", 0)}),
                         success, Json::array({RangeOp(m_head)}), answer, succeeded);
        if (FAILED(hr))
        {
            return hr;
        }
        if (succeeded)
        {
            committed = {Revision(answer), base.sequence + 1};
            return S_OK;
        }
        const Json* head0 = FirstKv(answer, 0);
        const std::uint64_t headRevision = head0 ? JsonNumber(*head0, "mod_revision") : 0;
        if (headRevision != base.revision)
        {
            committed = {headRevision, 0};
            return STORE_E_BEHIND;
        }
        fits = false; // a large commit is under way or was left behind: take the lock
        return S_OK;
    }

    HRESULT Grant(std::uint64_t& lease)
    {
        Json answer;
        HRESULT hr = m_client.Call("/v3/lease/grant", {{"TTL", kLeaseSeconds}}, answer);
        lease = SUCCEEDED(hr) ? JsonNumber(answer, "ID") : 0;
        return SUCCEEDED(hr) && lease == 0 ? ETCD_E_BAD_ANSWER : hr;
    }

    void Revoke(std::uint64_t lease)
    {
        Json answer;
        m_client.Call("/v3/lease/revoke", {{"ID", std::to_string(lease)}}, answer);
    }

    // Writes ops in transactions that each check that the lock is still ours, several at once.
    HRESULT WriteBatches(std::vector<Op>& ops, std::uint64_t lockRevision, std::uint64_t lease,
                         std::chrono::steady_clock::time_point& renewed)
    {
        constexpr std::size_t kWave = 32; // transactions between two renewals of the lease
        const Json compare = Json::array({Compare(m_lock, "CREATE", lockRevision)});
        std::size_t next = 0;
        while (next < ops.size())
        {
            std::vector<std::string> bodies;
            while (next < ops.size() && bodies.size() < kWave)
            {
                Json success = Json::array();
                std::size_t bytes = 0;
                while (next < ops.size() && success.size() < kMaxOps &&
                       (success.empty() || bytes + ops[next].bytes + kOpOverhead <= kMaxBytes))
                {
                    bytes += ops[next].bytes + kOpOverhead;
                    success.push_back(std::move(ops[next++].json));
                }
                bodies.push_back(Json{{"compare", compare}, {"success", std::move(success)}}.dump());
            }
            std::vector<Json> answers;
            HRESULT hr = m_client.CallAll("/v3/kv/txn", bodies, answers);
            if (FAILED(hr))
            {
                return hr;
            }
            for (const Json& answer : answers)
            {
                if (!answer.value("succeeded", false))
                {
                    return STORE_E_BEHIND; // the lease ran out: someone else may hold the lock now
                }
            }
            if (std::chrono::steady_clock::now() - renewed > std::chrono::seconds(1))
            {
                Json renewal;
                hr = m_client.Call("/v3/lease/keepalive", {{"ID", std::to_string(lease)}}, renewal);
                if (FAILED(hr))
                {
                    return hr;
                }
                renewed = std::chrono::steady_clock::now();
            }
        }
        return S_OK;
    }

    // Puts back every node key as of the head revision: what a writer that died under the lock
    // changed after it is undone.
    HRESULT RollBack(std::uint64_t headRevision, std::uint64_t lockRevision, std::uint64_t lease,
                     std::chrono::steady_clock::time_point& renewed)
    {
        std::map<std::string, std::string> old;
        HRESULT hr = ReadRange(headRevision, true,
                               [&](std::string key, std::string value, std::uint64_t)
                               {
                                   old.emplace(std::move(key), std::move(value));
                                   return S_OK;
                               });
        if (FAILED(hr))
        {
            return hr;
        }
        std::vector<Op> ops;
        std::unordered_set<std::string> present;
        hr = ReadRange(0, false,
                       [&](std::string key, std::string, std::uint64_t modRevision)
                       {
                           if (modRevision > headRevision)
                           {
                               auto it = old.find(key);
                               ops.push_back(it == old.end() ? Op{DeleteOp(key), key.size()}
                                                             : Op{PutOp(key, it->second),
                                                                  key.size() + it->second.size()});
                           }
                           present.insert(std::move(key));
                           return S_OK;
                       });
        if (FAILED(hr))
        {
            return hr;
        }
        for (const auto& [key, value] : old)
        {
            if (present.count(key) == 0)
            {
                ops.push_back({PutOp(key, value), key.size() + value.size()});
            }
        }
        return WriteBatches(ops, lockRevision, lease, renewed);
    }

    // Takes the lock whatever the head is (it stops every other writer), cleaning up after a writer
    // that died under it. STORE_E_BEHIND when another writer holds it.
    HRESULT Acquire(const StoreState& base, StoreState& committed)
    {
        std::uint64_t lease = 0;
        HRESULT hr = Grant(lease);
        if (FAILED(hr))
        {
            return hr;
        }
        const std::string lockValue = LockValue(lease);
        Json answer;
        bool succeeded = false;
        hr = Txn(Json::array({Compare(m_lock, "CREATE", 0)}),
                 Json::array({RangeOp(m_dirty), PutOp(m_lock, lockValue, lease), PutOp(m_dirty, lockValue),
                              RangeOp(m_head)}),
                 Json::array({RangeOp(m_head)}), answer, succeeded);
        const Json* head = FAILED(hr) ? nullptr : FirstKv(answer, succeeded ? 3 : 0);
        const std::uint64_t headRevision = head ? JsonNumber(*head, "mod_revision") : 0;
        if (FAILED(hr) || !succeeded)
        {
            Revoke(lease);
            // Locked by a live writer: its head move is what to wait for.
            committed = {std::max(headRevision, base.revision) + 1, 0};
            return FAILED(hr) ? hr : STORE_E_BEHIND;
        }
        Held held{lease, Revision(answer), headRevision, std::chrono::steady_clock::now()};
        if (FirstKv(answer, 0) != nullptr)
        {
            hr = RollBack(headRevision, held.lockRevision, lease, held.renewed);
            if (FAILED(hr))
            {
                Revoke(lease);
                committed = {0, 0};
                return hr;
            }
        }
        m_held = held;
        return S_OK;
    }

    void Release()
    {
        if (m_held)
        {
            Revoke(m_held->lease); // a failed commit's lock goes at once; the next writer rolls back
            m_held.reset();
        }
    }

    // Under the lock: removals, then records, in transactions that each check the lock, then the
    // head moves with the lock released in the same transaction.
    HRESULT WriteUnderLock(const ChangeSet& changes, const StoreState& base, StoreState& committed)
    {
        const std::uint64_t lockRevision = m_held->lockRevision;
        std::vector<Op> ops;
        for (const std::wstring& path : Topmost(changes.removed))
        {
            auto [from, to] = Below(path);
            ops.push_back({DeleteOp(TreeKey(path)), path.size()});
            ops.push_back({DeleteOp(from, to), path.size() * 2});
        }
        // Removals in their own transactions: a put may not fall inside a range deleted by the same one.
        HRESULT hr = WriteBatches(ops, lockRevision, m_held->lease, m_held->renewed);
        ops.clear();
        for (const NodeRecord& record : changes.written)
        {
            std::string key = TreeKey(record.Path());
            std::string value = EncodeNodeValue(record.Target());
            const std::size_t size = key.size() + value.size();
            ops.push_back({PutOp(key, value), size});
        }
        if (SUCCEEDED(hr))
        {
            hr = WriteBatches(ops, lockRevision, m_held->lease, m_held->renewed);
        }
        Json answer;
        if (SUCCEEDED(hr))
        {
            bool succeeded = false;
            hr = Txn(Json::array({Compare(m_lock, "CREATE", lockRevision)}),
                     Json::array({PutOp(m_head, HeadValue(base.sequence + 1, {})), DeleteOp(m_lock),
                                  DeleteOp(m_dirty)}),
                     Json::array(), answer, succeeded);
            if (SUCCEEDED(hr) && !succeeded)
            {
                hr = STORE_E_BEHIND;
            }
        }
        Release();
        if (FAILED(hr))
        {
            committed = {0, 0};
            return hr;
        }
        committed = {Revision(answer), base.sequence + 1};
        return S_OK;
    }

    // A commit too large for one transaction, or one that lost too often to others: under the lock.
    // The lock is kept while the server catches up with the head found when taking it.
    HRESULT PersistLocked(const ChangeSet& changes, const StoreState& base, StoreState& committed)
    {
        if (!m_held)
        {
            HRESULT hr = Acquire(base, committed);
            if (FAILED(hr))
            {
                return hr;
            }
        }
        else if (std::chrono::steady_clock::now() - m_held->renewed > std::chrono::milliseconds(500))
        {
            Json renewal;
            HRESULT hr =
                m_client.Call("/v3/lease/keepalive", {{"ID", std::to_string(m_held->lease)}}, renewal);
            if (FAILED(hr) || JsonNumber(renewal.value("result", Json::object()), "TTL") == 0)
            {
                Release();
                committed = {0, 0};
                return FAILED(hr) ? hr : STORE_E_BEHIND;
            }
            m_held->renewed = std::chrono::steady_clock::now();
        }
        if (m_held->headRevision != base.revision)
        {
            // Behind the head found with the lock: catch up. Beyond it: the lock was lost meanwhile.
            committed = {base.revision < m_held->headRevision ? m_held->headRevision : 0, 0};
            if (base.revision > m_held->headRevision)
            {
                Release();
            }
            return STORE_E_BEHIND;
        }
        return WriteUnderLock(changes, base, committed);
    }

    // ---- Watching -------------------------------------------------------------------------------

    struct Event
    {
        std::string key;
        std::optional<std::string> value; // empty: deleted
    };

    void WatchLoop()
    {
        std::uint64_t from = m_watchFrom;
        auto backoff = std::chrono::milliseconds(50);
        while (!m_stop)
        {
            if (m_paused)
            {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            std::vector<Event> pending;
            bool compacted = false;
            std::uint64_t groupRevision = 0;
            std::optional<std::string> groupHead;
            bool groupAborted = false;
            auto finishGroup = [&]
            {
                if (groupHead)
                {
                    Deliver(pending, *groupHead, groupRevision);
                    pending.clear();
                    from = groupRevision + 1;
                }
                else if (groupAborted)
                {
                    pending.clear(); // a writer's lock ran out before its head moved
                }
                groupHead.reset();
                groupAborted = false;
            };
            Json request = {{"create_request",
                             {{"key", Bytes(m_prefix + "/")},
                              {"range_end", Bytes(m_prefix + "0")},
                              {"start_revision", std::to_string(from)}}}};
            HRESULT hr = m_client.Stream(
                "/v3/watch", request,
                [&](const Json& message)
                {
                    if (m_stop || m_paused)
                    {
                        return false;
                    }
                    auto result = message.find("result");
                    if (result == message.end())
                    {
                        return false;
                    }
                    if (JsonNumber(*result, "compact_revision") != 0)
                    {
                        compacted = true;
                        return false;
                    }
                    if (result->value("canceled", false))
                    {
                        return false;
                    }
                    backoff = std::chrono::milliseconds(50);
                    auto events = result->find("events");
                    if (events == result->end() || !events->is_array())
                    {
                        return true;
                    }
                    for (const Json& event : *events)
                    {
                        const Json& kv = event.at("kv");
                        const std::uint64_t revision = JsonNumber(kv, "mod_revision");
                        if (revision < from)
                        {
                            continue; // seen before the stream was resumed
                        }
                        if (revision != groupRevision)
                        {
                            finishGroup();
                            groupRevision = revision;
                        }
                        const bool deleted = event.value("type", std::string()) == "DELETE";
                        std::string key = JsonBytes(kv, "key");
                        if (key.compare(0, m_tree.size(), m_tree) == 0)
                        {
                            pending.push_back({std::move(key), deleted
                                                                   ? std::nullopt
                                                                   : std::optional(JsonBytes(kv, "value"))});
                        }
                        else if (key == m_head && !deleted)
                        {
                            groupHead = JsonBytes(kv, "value");
                        }
                        else if (key == m_lock && deleted)
                        {
                            groupAborted = true;
                        }
                    }
                    finishGroup(); // a revision's events come in one message
                    return true;
                },
                m_stop);
            if (m_stop)
            {
                break;
            }
            if (compacted)
            {
                from = Reload(from);
                continue;
            }
            if (FAILED(hr) && !m_paused)
            {
                m_client.NextEndpoint();
                std::this_thread::sleep_for(backoff);
                backoff = std::min(backoff * 2, std::chrono::milliseconds(1000));
            }
        }
    }

    void Deliver(const std::vector<Event>& events, const std::string& headText, std::uint64_t revision)
    {
        const Json head = Json::parse(headText, nullptr, false);
        StoreCommit commit;
        commit.state = {revision, head.is_object() ? JsonNumber(head, "sequence") : 0};
        std::vector<std::wstring> removed;
        if (head.is_object() && head.contains("removed") && head["removed"].is_array())
        {
            for (const Json& path : head["removed"])
            {
                if (path.is_string())
                {
                    removed.push_back(Platform::FromUtf8(path.get<std::string>()));
                }
            }
        }
        std::map<std::string, const std::optional<std::string>*> last; // by key: parents first
        for (const Event& event : events)
        {
            if (!event.value)
            {
                removed.push_back(Platform::FromUtf8(std::string_view(event.key).substr(m_tree.size())));
            }
            last[event.key] = &event.value;
        }
        commit.removed = Topmost(std::move(removed));
        for (const auto& [key, value] : last)
        {
            StoredNode node;
            node.path = Platform::FromUtf8(std::string_view(key).substr(m_tree.size()));
            std::vector<std::wstring_view> components;
            if (*value && SplitPathViews(node.path, components) && DecodeNodeValue(**value, node))
            {
                commit.written.push_back(std::move(node)); // a value that is not a node is passed over
            }
        }
        m_observer->OnStoreCommit(commit);
    }

    // The watch position is gone: the whole tree as of the head is handed over, and watching
    // resumes after it.
    std::uint64_t Reload(std::uint64_t from)
    {
        for (int attempt = 0; attempt < 50 && !m_stop; ++attempt)
        {
            try
            {
                StoreCommit commit;
                commit.whole = true;
                if (SUCCEEDED(ReadAll(commit.state, commit.written)))
                {
                    m_observer->OnStoreCommit(commit);
                    return commit.state.revision + 1;
                }
            }
            catch (const std::exception&)
            {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return from;
    }

    struct Held
    {
        std::uint64_t lease = 0;
        std::uint64_t lockRevision = 0; // the lock key's create revision: ours while it matches
        std::uint64_t headRevision = 0; // the head when it was taken: nobody moves it meanwhile
        std::chrono::steady_clock::time_point renewed;
    };

    EtcdClient m_client;
    std::optional<Held> m_held;
    unsigned m_conflicts = 0; // commits lost in a row to other writers
    const std::string m_prefix;
    const std::string m_head;
    const std::string m_lock;
    const std::string m_dirty;
    const std::string m_tree;
    std::string m_owner;
    std::uint64_t m_watchFrom = 1;
    IStoreObserver* m_observer = nullptr;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_paused{false};
    std::thread m_watcher;
};

} // namespace

HRESULT CreateEtcdStore(std::wstring_view location, std::unique_ptr<IStore>& store)
{
    const std::string text = Platform::ToUtf8(location);
    if (text.empty() || text.find_first_of(std::string_view(" \t\r\n\0", 5)) != std::string::npos)
    {
        return E_INVALIDARG;
    }
    // The prefix starts at the first '/' after the last endpoint's host.
    const std::size_t lastStart = text.rfind(',') == std::string::npos ? 0 : text.rfind(',') + 1;
    const std::size_t scheme = text.find("://", lastStart);
    const std::size_t slash = text.find('/', scheme == std::string::npos ? lastStart : scheme + 3);
    if (slash == std::string::npos)
    {
        return E_INVALIDARG;
    }
    std::string prefix = text.substr(slash + 1);
    while (!prefix.empty() && prefix.back() == '/')
    {
        prefix.pop_back();
    }
    if (prefix.empty())
    {
        return E_INVALIDARG;
    }
    std::vector<std::string> endpoints;
    const std::string list = text.substr(0, slash);
    for (std::size_t start = 0; start <= list.size();)
    {
        std::size_t end = list.find(',', start);
        end = end == std::string::npos ? list.size() : end;
        std::string endpoint = list.substr(start, end - start);
        if (endpoint.find("://") == std::string::npos)
        {
            endpoint = "http://" + endpoint;
        }
        const std::size_t hostStart = endpoint.find("://") + 3;
        const std::string_view schemeName = std::string_view(endpoint).substr(0, hostStart - 3);
        if ((schemeName != "http" && schemeName != "https") || hostStart == endpoint.size() ||
            endpoint.find('/', hostStart) != std::string::npos)
        {
            return E_INVALIDARG;
        }
        endpoints.push_back(std::move(endpoint));
        start = end + 1;
    }
    store = std::make_unique<EtcdStore>(std::move(endpoints), std::move(prefix));
    return S_OK;
}

void PauseEtcdWatch(IStore& store, bool paused)
{
    if (auto* etcd = dynamic_cast<EtcdStore*>(&store))
    {
        etcd->Pause(paused);
    }
}

} // namespace ConfigServer
