#include "Platform/Tessel/Node.h"

#include <mutex>
#include <utility>

namespace Tessel
{
namespace
{
// Below this many children a linear scan beats hashing and saves the index's memory.
constexpr std::size_t kIndexThreshold = 8;
// The first-child removal compacts the list once the dead head is this long and half the storage.
constexpr std::size_t kCompactHead = 64;

void UnlinkFromChain(NameIndex& index, Node* child, bool keepEntry) noexcept
{
    auto it = index.find(std::wstring_view(child->name));
    if (it != index.end())
    {
        NameChain& chain = it->second;
        if (child->prevSame != nullptr)
        {
            child->prevSame->nextSame = child->nextSame;
        }
        else
        {
            chain.first = child->nextSame;
        }
        if (child->nextSame != nullptr)
        {
            child->nextSame->prevSame = child->prevSame;
        }
        else
        {
            chain.last = child->prevSame;
        }
        if (chain.first == nullptr && !keepEntry)
        {
            index.erase(it);
        }
    }
    child->prevSame = nullptr;
    child->nextSame = nullptr;
}

void AppendToChain(NameChain& chain, Node* child) noexcept
{
    child->nextSame = nullptr;
    child->prevSame = chain.last;
    if (chain.last != nullptr)
    {
        chain.last->nextSame = child;
    }
    else
    {
        chain.first = child;
    }
    chain.last = child;
}

void DestroyLocked(Node* root) noexcept
{
    // Iterative, so that releasing a very deep chain cannot exhaust the stack.
    std::vector<Node*> pending;
    Node* node = root;
    for (;;)
    {
        for (std::size_t i = 0, n = node->children.Size(); i < n; ++i)
        {
            Node* child = node->children.At(i);
            child->parent = nullptr;
            child->prevSame = nullptr;
            child->nextSame = nullptr;
            if (child->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
            {
                try
                {
                    pending.push_back(child);
                }
                catch (...)
                {
                    // Out of memory while freeing: leaking the subtree is the only safe choice.
                }
            }
        }
        delete node;
        if (pending.empty())
        {
            return;
        }
        node = pending.back();
        pending.pop_back();
    }
}
} // namespace

void ChildList::Reserve()
{
    if (m_items.size() == m_items.capacity())
    {
        m_items.reserve(m_items.empty() ? 4 : m_items.capacity() * 2);
    }
}

void ChildList::Erase(std::size_t index) noexcept
{
    if (index == 0)
    {
        m_items[m_head] = nullptr;
        ++m_head;
        if (m_head == m_items.size())
        {
            m_items.clear();
            m_head = 0;
        }
        else if (m_head >= kCompactHead && m_head * 2 >= m_items.size())
        {
            m_items.erase(m_items.begin(), m_items.begin() + static_cast<std::ptrdiff_t>(m_head));
            m_head = 0;
        }
        return;
    }
    m_items.erase(m_items.begin() + static_cast<std::ptrdiff_t>(m_head + index));
}

std::size_t ChildList::IndexOf(const Node* child) const noexcept
{
    for (std::size_t i = m_head; i < m_items.size(); ++i)
    {
        if (m_items[i] == child)
        {
            return i - m_head;
        }
    }
    return Size();
}

std::shared_mutex& TreeLock() noexcept
{
    static std::shared_mutex lock;
    return lock;
}

void AddRef(Node* node) noexcept
{
    node->refs.fetch_add(1, std::memory_order_relaxed);
}

bool TryAddRef(Node* node) noexcept
{
    std::uint64_t current = node->refs.load(std::memory_order_relaxed);
    while (current != 0)
    {
        if (node->refs.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel))
        {
            return true;
        }
    }
    return false;
}

void Release(Node* node) noexcept
{
    if (node->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
    {
        // Readers may still be walking up through this node's children; wait for them.
        std::unique_lock lock(TreeLock());
        DestroyLocked(node);
    }
}

void ReleaseLocked(Node* node) noexcept
{
    if (node->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
    {
        DestroyLocked(node);
    }
}

void AppendPathComponent(std::wstring& path, std::wstring_view name)
{
    if (path.empty() || path.back() != L'\\')
    {
        path += L'\\';
    }
    path += name;
}

std::wstring FullPath(const Node* node)
{
    std::vector<const Node*> chain;
    for (const Node* n = node; n != nullptr; n = n->parent)
    {
        chain.push_back(n);
    }
    const Node* root = chain.back();
    std::wstring path;
    path.reserve(root->rootPrefix.size() + 1 + root->name.size());
    path += root->rootPrefix;
    path += L'\\';
    path += root->name;
    for (std::size_t i = chain.size() - 1; i-- > 0;)
    {
        AppendPathComponent(path, chain[i]->name);
    }
    return path;
}

std::wstring PrefixOf(const Node* node)
{
    if (node->parent == nullptr)
    {
        return node->rootPrefix;
    }
    std::wstring path = FullPath(node->parent);
    if (!path.empty() && path.back() == L'\\')
    {
        path.pop_back();
    }
    return path;
}

Node* FindChild(const Node* parent, std::wstring_view name) noexcept
{
    if (parent->index != nullptr)
    {
        auto it = parent->index->find(name);
        return it == parent->index->end() ? nullptr : it->second.first;
    }
    for (std::size_t i = 0, n = parent->children.Size(); i < n; ++i)
    {
        Node* child = parent->children.At(i);
        if (child->name == name)
        {
            return child;
        }
    }
    return nullptr;
}

bool IsSelfOrAncestor(const Node* candidate, const Node* node) noexcept
{
    for (const Node* n = node; n != nullptr; n = n->parent)
    {
        if (n == candidate)
        {
            return true;
        }
    }
    return false;
}

void PrepareLink(Node* parent, std::wstring_view childName)
{
    parent->children.Reserve();
    if (parent->index != nullptr)
    {
        parent->index->try_emplace(std::wstring(childName));
    }
    else if (parent->children.Size() + 1 > kIndexThreshold)
    {
        auto index = std::make_unique<NameIndex>();
        index->reserve(parent->children.Size() * 2);
        for (std::size_t i = 0, n = parent->children.Size(); i < n; ++i)
        {
            index->try_emplace(parent->children.At(i)->name);
        }
        index->try_emplace(std::wstring(childName));
        // Nothing below throws: the chains only link nodes through their own fields.
        for (std::size_t i = 0, n = parent->children.Size(); i < n; ++i)
        {
            Node* child = parent->children.At(i);
            AppendToChain(index->find(std::wstring_view(child->name))->second, child);
        }
        parent->index = std::move(index);
    }
}

void LinkChild(Node* parent, Node* child) noexcept
{
    child->parent = parent;
    child->rootPrefix.clear();
    parent->children.PushBack(child);
    if (parent->index != nullptr)
    {
        // PrepareLink created the entry.
        AppendToChain(parent->index->find(std::wstring_view(child->name))->second, child);
    }
}

Node* UnlinkChild(Node* parent, std::size_t index, bool keepNameEntry) noexcept
{
    Node* child = parent->children.At(index);
    if (parent->index != nullptr)
    {
        UnlinkFromChain(*parent->index, child, keepNameEntry);
    }
    parent->children.Erase(index);
    child->parent = nullptr;
    return child;
}

void Rename(Node* node, std::wstring newName)
{
    Node* parent = node->parent;
    if (parent == nullptr || parent->index == nullptr)
    {
        node->name = std::move(newName);
        return;
    }
    NameIndex& index = *parent->index;
    index.try_emplace(newName);
    UnlinkFromChain(index, node, false);
    node->name = std::move(newName);
    // The renamed node may belong anywhere among its new namesakes: relink them in child order.
    NameChain& chain = index.find(std::wstring_view(node->name))->second;
    chain = NameChain{};
    for (std::size_t i = 0, n = parent->children.Size(); i < n; ++i)
    {
        Node* child = parent->children.At(i);
        if (child->name == node->name)
        {
            AppendToChain(chain, child);
        }
    }
}

const Attribute* FindAttribute(const Node* node, std::wstring_view name) noexcept
{
    for (const Attribute& attribute : node->attributes)
    {
        if (attribute.name == name)
        {
            return &attribute;
        }
    }
    return nullptr;
}

Attribute* FindAttribute(Node* node, std::wstring_view name) noexcept
{
    return const_cast<Attribute*>(FindAttribute(static_cast<const Node*>(node), name));
}

Node* CloneTree(const Node* source, std::uint64_t depth)
{
    auto copyOne = [](const Node* from)
    {
        auto copy = std::make_unique<Node>(from->name, from->type);
        copy->attributes = from->attributes;
        return copy;
    };
    auto root = copyOne(source);
    root->rootPrefix = PrefixOf(source);
    Node* rootRaw = root.release();

    struct Frame
    {
        const Node* from;
        Node* to;
        std::uint64_t level;
    };
    try
    {
        std::vector<Frame> pending{{source, rootRaw, 0}};
        while (!pending.empty())
        {
            Frame frame = pending.back();
            pending.pop_back();
            if (frame.level >= depth)
            {
                continue;
            }
            for (std::size_t i = 0, n = frame.from->children.Size(); i < n; ++i)
            {
                const Node* from = frame.from->children.At(i);
                auto copy = copyOne(from);
                PrepareLink(frame.to, copy->name);
                pending.reserve(pending.size() + 1);
                Node* to = copy.release();
                LinkChild(frame.to, to);
                pending.push_back({from, to, frame.level + 1});
            }
        }
    }
    catch (...)
    {
        ReleaseLocked(rootRaw);
        throw;
    }
    return rootRaw;
}
} // namespace Tessel
