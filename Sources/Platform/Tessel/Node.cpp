#include "Platform/Tessel/Node.h"

#include <cstring>

#include <algorithm>
#include <cwchar>
#include <utility>

namespace Tessel
{
namespace
{
// Below this many children a linear scan beats hashing and saves the index's memory.
constexpr std::size_t kIndexThreshold = 8;
// The first-child removal compacts the list once the dead head is this long and half the storage.
constexpr std::size_t kCompactHead = 64;

std::uint64_t HashName(std::wstring_view name) noexcept
{
    return std::hash<std::wstring_view>{}(name);
}

// The caller owns the tree lock, or the tree is private (ReleaseDetached).
void DestroyTree(Node* root) noexcept
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
            child->chainLast = nullptr;
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

void NameText::Assign(std::wstring_view text)
{
    wchar_t* heap = nullptr;
    if (text.size() > kLocal)
    {
        heap = new wchar_t[text.size()];
        std::wmemcpy(heap, text.data(), text.size());
    }
    Free();
    m_heap = heap;
    if (heap == nullptr && !text.empty())
    {
        std::wmemcpy(m_local, text.data(), text.size());
    }
    m_size = static_cast<std::uint32_t>(text.size());
}

void NameText::Swap(NameText& other) noexcept
{
    std::swap(m_size, other.m_size);
    std::swap(m_heap, other.m_heap);
    wchar_t local[kLocal];
    std::wmemcpy(local, m_local, kLocal);
    std::wmemcpy(m_local, other.m_local, kLocal);
    std::wmemcpy(other.m_local, local, kLocal);
}

void NameText::Free() noexcept
{
    delete[] m_heap;
    m_heap = nullptr;
    m_size = 0;
}

Attribute::Attribute(std::wstring_view name, std::uint16_t type, const void* value, std::size_t size)
    : m_nameSize(static_cast<std::uint32_t>(name.size())), m_valueSize(static_cast<std::uint32_t>(size)),
      m_type(type)
{
    // Whole wide characters hold the value too, so the block keeps their alignment.
    const std::size_t valueChars = (size + sizeof(wchar_t) - 1) / sizeof(wchar_t);
    m_block = new wchar_t[name.size() + valueChars];
    std::wmemcpy(m_block, name.data(), name.size());
    if (size != 0)
    {
        std::memcpy(m_block + name.size(), value, size);
    }
}

void Attribute::Swap(Attribute& other) noexcept
{
    std::swap(m_block, other.m_block);
    std::swap(m_nameSize, other.m_nameSize);
    std::swap(m_valueSize, other.m_valueSize);
    std::swap(m_type, other.m_type);
}

void NameIndex::Reserve(std::size_t names)
{
    std::size_t capacity = m_slots.empty() ? 16 : m_slots.size();
    while (names * 4 > capacity * 3)
    {
        capacity *= 2;
    }
    if (capacity == m_slots.size())
    {
        return;
    }
    std::vector<Slot> slots(capacity, Slot{0, nullptr});
    const std::size_t mask = capacity - 1;
    for (const Slot& slot : m_slots)
    {
        if (slot.first != nullptr)
        {
            std::size_t i = slot.hash & mask;
            while (slots[i].first != nullptr)
            {
                i = (i + 1) & mask;
            }
            slots[i] = slot;
        }
    }
    m_slots.swap(slots);
}

std::size_t NameIndex::Locate(std::wstring_view name, std::uint64_t hash) const noexcept
{
    if (m_slots.empty())
    {
        return SIZE_MAX;
    }
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask)
    {
        const Slot& slot = m_slots[i];
        if (slot.first == nullptr)
        {
            return SIZE_MAX;
        }
        if (slot.hash == hash && slot.first->name == name)
        {
            return i;
        }
    }
}

Node* NameIndex::Find(std::wstring_view name) const noexcept
{
    std::size_t i = Locate(name, HashName(name));
    return i == SIZE_MAX ? nullptr : m_slots[i].first;
}

void NameIndex::Insert(Node* child, Node* predecessor, bool atEnd) noexcept
{
    const std::uint64_t hash = HashName(child->name);
    std::size_t i = Locate(child->name, hash);
    if (i == SIZE_MAX)
    {
        const std::size_t mask = m_slots.size() - 1;
        for (i = hash & mask; m_slots[i].first != nullptr; i = (i + 1) & mask)
        {
        }
        m_slots[i] = Slot{hash, child};
        ++m_used;
        child->prevSame = nullptr;
        child->nextSame = nullptr;
        child->chainLast = child;
        return;
    }
    Node* first = m_slots[i].first;
    if (atEnd)
    {
        predecessor = first->chainLast;
    }
    if (predecessor == nullptr)
    {
        child->prevSame = nullptr;
        child->nextSame = first;
        first->prevSame = child;
        child->chainLast = first->chainLast;
        m_slots[i].first = child;
        return;
    }
    child->prevSame = predecessor;
    child->nextSame = predecessor->nextSame;
    if (predecessor->nextSame != nullptr)
    {
        predecessor->nextSame->prevSame = child;
    }
    else
    {
        first->chainLast = child;
    }
    predecessor->nextSame = child;
}

void NameIndex::Remove(Node* child) noexcept
{
    std::size_t i = Locate(child->name, HashName(child->name));
    if (i == SIZE_MAX)
    {
        return;
    }
    Node* first = m_slots[i].first;
    Node* prev = child->prevSame;
    Node* next = child->nextSame;
    child->prevSame = nullptr;
    child->nextSame = nullptr;
    child->chainLast = nullptr;
    if (prev != nullptr)
    {
        prev->nextSame = next;
        if (next != nullptr)
        {
            next->prevSame = prev;
        }
        else
        {
            first->chainLast = prev;
        }
        return;
    }
    if (next != nullptr)
    {
        next->prevSame = nullptr;
        next->chainLast = first->chainLast;
        m_slots[i].first = next;
        return;
    }
    // Last of its name: backward-shift deletion keeps every probe sequence unbroken.
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t j = i;;)
    {
        j = (j + 1) & mask;
        if (m_slots[j].first == nullptr)
        {
            break;
        }
        std::size_t home = m_slots[j].hash & mask;
        bool movable = i <= j ? (home <= i || home > j) : (home <= i && home > j);
        if (movable)
        {
            m_slots[i] = m_slots[j];
            i = j;
        }
    }
    m_slots[i] = Slot{0, nullptr};
    --m_used;
}

void ChildList::Reserve(std::size_t extra)
{
    const std::size_t needed = m_items.size() + extra;
    if (needed > m_items.capacity())
    {
        m_items.reserve(std::max(needed, m_items.capacity() * 2));
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

constinit TreeRwLock g_treeLock;

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
        TreeWriteLock lock(g_treeLock);
        DestroyTree(node);
    }
}

void ReleaseLocked(Node* node) noexcept
{
    // The same work as for a private tree; only the caller's contract differs.
    ReleaseDetached(node);
}

void ReleaseDetached(Node* node) noexcept
{
    if (node->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
    {
        DestroyTree(node);
    }
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
        return parent->index->Find(name);
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

void PrepareLink(Node* parent, std::size_t extra)
{
    parent->children.Reserve(extra);
    const std::size_t count = parent->children.Size();
    if (parent->index != nullptr)
    {
        parent->index->Reserve(parent->index->Size() + extra);
    }
    else if (count + extra > kIndexThreshold)
    {
        auto index = std::make_unique<NameIndex>();
        index->Reserve(count + extra);
        for (std::size_t i = 0; i < count; ++i)
        {
            index->Insert(parent->children.At(i), nullptr, true);
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
        parent->index->Insert(child, nullptr, true);
    }
}

Node* UnlinkChild(Node* parent, std::size_t index) noexcept
{
    Node* child = parent->children.At(index);
    if (parent->index != nullptr)
    {
        parent->index->Remove(child);
    }
    parent->children.Erase(index);
    child->parent = nullptr;
    return child;
}

void Rename(Node* node, std::wstring_view newName)
{
    NameText text(newName);
    Node* parent = node->parent;
    if (parent == nullptr || parent->index == nullptr)
    {
        node->name.Swap(text);
        return;
    }
    NameIndex& index = *parent->index;
    index.Reserve(index.Size() + 1);
    index.Remove(node);
    node->name.Swap(text);
    // Keep the chain in child order: the node goes after the last namesake that precedes it.
    Node* predecessor = nullptr;
    for (std::size_t i = 0, n = parent->children.Size(); i < n; ++i)
    {
        Node* child = parent->children.At(i);
        if (child == node)
        {
            break;
        }
        if (child->name == node->name.View())
        {
            predecessor = child;
        }
    }
    index.Insert(node, predecessor, false);
}

const Attribute* FindAttribute(const Node* node, std::wstring_view name) noexcept
{
    for (const Attribute& attribute : node->attributes)
    {
        if (attribute.Name() == name)
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
            const std::size_t n = frame.from->children.Size();
            PrepareLink(frame.to, n);
            for (std::size_t i = 0; i < n; ++i)
            {
                const Node* from = frame.from->children.At(i);
                Node* to = copyOne(from).release();
                LinkChild(frame.to, to);
                pending.push_back({from, to, frame.level + 1});
            }
        }
    }
    catch (...)
    {
        ReleaseDetached(rootRaw);
        throw;
    }
    return rootRaw;
}
} // namespace Tessel
