// In-memory node model of the data layer. A handle is a pointer to a Node; its reference count
// is the number of open handles plus one while the node sits under a parent. Children are owned
// by their parent; the parent pointer is a weak back link.
#pragma once

#include "Common/Base/Locks.h"
#include "Common/Base/Path.h"
#include "Tessel.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <pthread.h>
#include <string>
#include <string_view>
#include <vector>

struct IVXNode
{
};

namespace Tessel
{
constexpr std::size_t kMaxNameLength = 32767;    // node names, types, attribute names
constexpr std::size_t kMaxPathLength = 1u << 20; // explicit paths (clones of deep nodes)
constexpr std::uint64_t kMaxAttributeSize = 64u << 20;

class Node;

// A node's own name. Short names live inside the node, right after its reference count, so that
// a name lookup among many children touches as few lines as possible. (Nodes are not over-aligned
// for this: aligned allocation is several times slower than plain allocation.)
class NameText
{
public:
    NameText() noexcept = default;
    explicit NameText(std::wstring_view text) { Assign(text); }
    NameText(const NameText&) = delete;
    NameText& operator=(const NameText&) = delete;
    ~NameText() { Free(); }

    // Strong guarantee: on failure the old text stays.
    void Assign(std::wstring_view text);
    void Swap(NameText& other) noexcept;
    std::wstring_view View() const noexcept { return {Data(), m_size}; }
    operator std::wstring_view() const noexcept { return View(); }
    std::size_t size() const noexcept { return m_size; }
    friend bool operator==(const NameText& a, std::wstring_view b) noexcept { return a.View() == b; }

private:
    static constexpr std::size_t kLocal = 10;
    const wchar_t* Data() const noexcept { return m_heap != nullptr ? m_heap : m_local; }
    void Free() noexcept;

    std::uint32_t m_size = 0;
    wchar_t* m_heap = nullptr; // null: the text is in m_local
    wchar_t m_local[kLocal] = {};
};

// A typed attribute. Its name and value share one allocation made to measure, so that a node's
// attribute list is a short array of small entries.
class Attribute
{
public:
    Attribute() noexcept = default;
    Attribute(std::wstring_view name, std::uint16_t type, const void* value, std::size_t size);
    Attribute(const Attribute& other)
        : Attribute(other.Name(), other.m_type, other.Value(), other.m_valueSize)
    {
    }
    Attribute(Attribute&& other) noexcept { Swap(other); }
    Attribute& operator=(Attribute other) noexcept
    {
        Swap(other);
        return *this;
    }
    ~Attribute() { delete[] m_block; }

    std::wstring_view Name() const noexcept
    {
        return {reinterpret_cast<const wchar_t*>(m_block), m_nameSize};
    }
    std::uint16_t Type() const noexcept { return m_type; }
    const char* Value() const noexcept
    {
        return m_block == nullptr ? nullptr : reinterpret_cast<const char*>(m_block + m_nameSize);
    }
    std::size_t Size() const noexcept { return m_valueSize; }
    std::string_view Bytes() const noexcept { return {Value(), m_valueSize}; }
    void Swap(Attribute& other) noexcept;

private:
    wchar_t* m_block = nullptr; // the name, then the value's bytes
    std::uint32_t m_nameSize = 0;
    std::uint32_t m_valueSize = 0;
    std::uint16_t m_type = 0;
};

// Ordered children. Removing the first child only advances a head offset, so draining a large
// list from the front stays linear overall.
class ChildList
{
public:
    std::size_t Size() const noexcept { return m_items.size() - m_head; }
    Node* At(std::size_t index) const noexcept { return m_items[m_head + index]; }
    // Makes room for more children so that PushBack cannot throw.
    void Reserve(std::size_t extra);
    void PushBack(Node* child) noexcept { m_items.push_back(child); }
    void Erase(std::size_t index) noexcept;
    std::size_t IndexOf(const Node* child) const noexcept;

private:
    std::vector<Node*> m_items;
    std::size_t m_head = 0;
};

// Name index of a node with many children: open addressing (linear probing) from a name to the
// first child of that name; same-name siblings form a chain in child order through their own
// prevSame/nextSame links, and the chain's first node knows the last. The key is the first
// child's own name, so the index stores no strings.
class NameIndex
{
public:
    std::size_t Size() const noexcept { return m_used; }
    // Makes room for this many names so that Insert cannot throw.
    void Reserve(std::size_t names);
    Node* Find(std::wstring_view name) const noexcept;
    // Links the child into its name's chain after predecessor (null: first), or appends it when
    // atEnd is set. Capacity must have been reserved.
    void Insert(Node* child, Node* predecessor, bool atEnd) noexcept;
    void Remove(Node* child) noexcept;

private:
    struct Slot
    {
        std::uint64_t hash;
        Node* first; // null: empty slot
    };
    std::size_t Locate(std::wstring_view name, std::uint64_t hash) const noexcept;
    std::vector<Slot> m_slots;
    std::size_t m_used = 0;
};

class Node final : public IVXNode
{
public:
    Node(std::wstring_view nodeName, std::wstring nodeType) : name(nodeName), type(std::move(nodeType)) {}

    std::atomic<std::uint64_t> refs{1};
    NameText name;
    std::wstring type;
    // Detached nodes only: the full path is rootPrefix + "\" + name.
    std::wstring rootPrefix;
    Node* parent = nullptr;
    std::vector<Attribute> attributes;
    ChildList children;
    std::unique_ptr<NameIndex> index; // built once a node has many children
    Node* prevSame = nullptr;
    Node* nextSame = nullptr;
    Node* chainLast = nullptr; // on the first of a same-name chain only
};

inline Node* FromHandle(IVXNode* handle) noexcept
{
    return static_cast<Node*>(handle);
}

// One reader/writer lock guards every tree: readers share it, mutations and destruction own it.
// Writers are preferred so that a steady stream of readers cannot hold a change back forever;
// no code path takes the lock twice on one thread. Statically initialised and never destroyed:
// handles held by other libraries' statics may be closed during exit.
class RSM_CAPABILITY("mutex") TreeRwLock
{
public:
    constexpr TreeRwLock() noexcept = default;
    TreeRwLock(const TreeRwLock&) = delete;
    TreeRwLock& operator=(const TreeRwLock&) = delete;
    void lock() noexcept RSM_ACQUIRE() { pthread_rwlock_wrlock(&m_lock); }
    void unlock() noexcept RSM_RELEASE() { pthread_rwlock_unlock(&m_lock); }
    void lock_shared() noexcept RSM_ACQUIRE_SHARED() { pthread_rwlock_rdlock(&m_lock); }
    void unlock_shared() noexcept RSM_RELEASE_SHARED() { pthread_rwlock_unlock(&m_lock); }

private:
    pthread_rwlock_t m_lock = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
};

extern TreeRwLock g_treeLock;
using TreeWriteLock = Base::LockGuard<TreeRwLock>;
using TreeReadLock = Base::SharedLock<TreeRwLock>;

void AddRef(Node* node) noexcept;
// Adds a reference unless the node is already being destroyed.
bool TryAddRef(Node* node) noexcept;
// Drops a reference; the last one destroys the node and releases its children.
void Release(Node* node) noexcept;
void ReleaseLocked(Node* node) noexcept RSM_REQUIRES(g_treeLock);
// Release for a tree that no other thread can reach yet (one being built); takes no lock.
void ReleaseDetached(Node* node) noexcept;

// Reading a tree that others can reach needs the lock at least shared, changing one needs it
// exclusively. PrepareLink, LinkChild and FindAttribute also build private trees, so they state
// no lock of their own.
std::wstring FullPath(const Node* node) RSM_REQUIRES_SHARED(g_treeLock);
using Base::AppendPathComponent;
// The rootPrefix a detached copy needs to keep the node's full path.
std::wstring PrefixOf(const Node* node) RSM_REQUIRES_SHARED(g_treeLock);

Node* FindChild(const Node* parent, std::wstring_view name) noexcept RSM_REQUIRES_SHARED(g_treeLock);
bool IsSelfOrAncestor(const Node* candidate, const Node* node) noexcept RSM_REQUIRES_SHARED(g_treeLock);

// Everything that may throw before children are linked; afterwards that many LinkChild calls
// cannot fail.
void PrepareLink(Node* parent, std::size_t extra = 1);
// Appends a detached child; its reference for the parent must already be counted.
void LinkChild(Node* parent, Node* child) noexcept;
// Takes the child out of its parent; the parent's reference passes to the caller.
Node* UnlinkChild(Node* parent, std::size_t index) noexcept RSM_REQUIRES(g_treeLock);
// Renames a node, keeping its parent's name index in child order.
void Rename(Node* node, std::wstring_view newName) RSM_REQUIRES(g_treeLock);

const Attribute* FindAttribute(const Node* node, std::wstring_view name) noexcept;
Attribute* FindAttribute(Node* node, std::wstring_view name) noexcept;

// A detached copy of the node and depth levels below it; no lock taken on the copy.
Node* CloneTree(const Node* source, std::uint64_t depth) RSM_REQUIRES_SHARED(g_treeLock);
} // namespace Tessel
