// The server's own tree: immutable once published, so readers and pending deliveries share it
// without copying; a commit copies only the nodes it touches (path copying).
#pragma once

#include "RsmTypes.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ConfigServer
{

struct Attribute
{
    std::wstring name;
    std::uint16_t type = 0;
    std::vector<std::uint8_t> value;

    bool SameValue(const Attribute& other) const { return type == other.type && value == other.value; }
};

struct Node;
struct Touched;
using NodeP = std::shared_ptr<Node>;
using ConstNodeP = std::shared_ptr<const Node>;

// A node's children in insertion order, found by name. Slots keep their place until the table is
// compacted, so that removing a child costs no shift; a name index (open addressing over slot
// numbers, names read through the slots) is kept once there are more than a few children, and the
// table copies as two flat arrays when a commit copies the node.
class ChildTable
{
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    std::size_t Size() const noexcept { return m_live; }
    // The slot of the child named name, or npos.
    std::size_t Locate(std::wstring_view name) const noexcept;
    const NodeP& At(std::size_t slot) const noexcept { return m_slots[slot]; }
    // Swaps the node in a slot for a copy under the same name.
    void Replace(std::size_t slot, NodeP node) noexcept { m_slots[slot] = std::move(node); }
    // Appends a child whose name no sibling has; gives it the next order key.
    void Append(NodeP child);
    void Erase(std::size_t slot);
    // Appends a child with the order key it had (the store's load), then Restore once all are in.
    void Load(NodeP child);
    void Restore();
    // Adds a child with the order key it has, in its place among the others.
    void Insert(NodeP child);

    template <typename Visitor> void ForEach(Visitor&& visit) const
    {
        for (const NodeP& child : m_slots)
        {
            if (child)
            {
                visit(*child);
            }
        }
    }

private:
    struct IndexEntry
    {
        std::uint32_t slot = 0; // slot + 1; 0: empty
        std::uint32_t hash = 0;
    };
    static std::uint32_t HashOf(std::wstring_view name) noexcept;
    void Place(IndexEntry entry) noexcept;
    void Index(std::size_t slot);
    void Unindex(std::size_t slot);
    void Rebuild();

    std::vector<NodeP> m_slots; // null: removed
    std::vector<IndexEntry> m_index;
    std::size_t m_live = 0;
    std::uint64_t m_nextOrder = 0;
};

struct Node
{
    std::wstring name;
    std::wstring type;
    std::vector<Attribute> attributes; // in the order they were first set
    ChildTable children;
    std::uint64_t order = 0; // key among its siblings, in insertion order
    std::uint64_t epoch = 0; // the commit that may still change this node in place
    // That commit's record of the node; meaningless once the commit is over.
    Touched* touched = nullptr;

    const Attribute* FindAttribute(const std::wstring& attributeName) const;
    NodeP FindChild(std::wstring_view childName) const;
};

// A detached tree handed in by a caller (converted from the data layer at once, so later changes
// of the caller's node do not leak into a transaction).
struct InputNode
{
    std::wstring name;
    std::wstring type;
    std::vector<Attribute> attributes;
    std::vector<InputNode> children;
};

// Limits on what callers hand in; beyond them the call fails with E_INVALIDARG.
constexpr std::size_t kMaxPathLength = 32767;
constexpr std::size_t kMaxTreeDepth = 512;

// Full paths: "\" is the root; "\A\B" names B below A. Components are non-empty and contain no
// backslash. Returns false for anything else.
bool SplitPath(const std::wstring& path, std::vector<std::wstring>& components);
// The same rules without copying the components: the path's views, or false.
bool SplitPathViews(std::wstring_view path, std::vector<std::wstring_view>& components);
std::wstring ChildPath(const std::wstring& parentPath, const std::wstring& name);
bool IsValidName(const std::wstring& name);

ConstNodeP Lookup(const ConstNodeP& root, const std::vector<std::wstring>& components);

struct PutOperation
{
    std::wstring path; // full path, checked by SplitPath's rules; "\" is the root
    InputNode node;
};
struct RemoveOperation
{
    std::vector<std::wstring> path;
};
using Operation = std::variant<PutOperation, RemoveOperation>;
// A transaction's operations in order; a deque, so that a long transaction never moves the ones it
// already holds.
using Operations = std::deque<Operation>;

// Per-node change bits recorded while a commit is applied.
enum : std::uint32_t
{
    kEventAdded = 1,
    kEventRemoved = 2,
    kEventAttributes = 4,
    kEventType = 8,
};

// A node of the new tree that a commit reached: made, changed, or passed on the way. Entries are
// linked to their parent's entry, so that paths are only spelled out when somebody asks.
struct Touched
{
    const Touched* parent = nullptr; // null for the root
    NodeP node;                      // also keeps a node that the commit removes alive until it ends
    std::uint32_t bits = 0;          // kEvent... for this node
    bool detached = false;           // removed again later in the commit, with all below it
};

// Full path of an entry ("\" for the root).
std::wstring PathOf(const Touched& entry);

// What a store must write to hold the new tree: subtrees to delete first, then node records.
// A change set borrows its entries from the update that made it and must not outlive it.
struct NodeRecord
{
    const Touched* entry = nullptr;

    const Node& Target() const { return *entry->node; }
    std::uint64_t Order() const { return entry->node->order; }
    std::wstring Path() const { return PathOf(*entry); }
    std::wstring Parent() const { return entry->parent == nullptr ? std::wstring() : PathOf(*entry->parent); }
};
struct ChangeSet
{
    ConstNodeP oldRoot; // the tree the commit started from: what the removals took away
    std::vector<std::wstring> removed;
    std::vector<NodeRecord> written;
    bool Empty() const { return removed.empty() && written.empty(); }
};

// Applies operations to a new version of the tree. The old root is never modified.
class TreeUpdate
{
public:
    TreeUpdate(ConstNodeP oldRoot, std::uint64_t epoch);

    void Apply(const Operation& operation);
    // Sets the node at the path (made when missing, with the given order key) to exactly the
    // record's type and attributes: how another writer's commit is replayed.
    void ApplyRecord(const std::wstring& path, std::uint64_t order, const std::wstring& type,
                     const std::vector<Attribute>& attributes);
    bool Changed() const;
    ConstNodeP NewRoot() const { return m_root; }
    ConstNodeP OldRoot() const { return m_oldRoot; }
    ChangeSet MakeChangeSet() const;

    // Calls visit(components, bits) for every change of the commit; components name the path
    // from the root and stay valid during the call only.
    template <typename Visitor> void ForEachEvent(Visitor&& visit) const
    {
        std::vector<std::wstring_view> components;
        for (const Touched& entry : m_touched)
        {
            if (entry.bits != 0 && ComponentsOf(entry, components))
            {
                visit(components, entry.bits);
            }
        }
        for (const auto& path : m_removedEvents)
        {
            components.assign(path.begin(), path.end());
            visit(components, kEventRemoved);
        }
    }

private:
    NodeP Writable(NodeP& slot);
    // The child in a slot of a writable parent, made writable.
    const NodeP& WritableChild(Node& parent, std::size_t slot);
    // Appends a new child named name to a writable parent.
    NodeP AddChild(Node& parent, std::wstring_view name);
    // The record of a writable node, made on first sight.
    Touched& Enter(const NodeP& node, const Touched* parent);
    // Walks to the node at path, creating what is missing; returns the writable node's entry.
    template <typename Names> Touched& Reach(const Names& path);
    void Merge(const InputNode& input, Touched& target);
    void Remove(const std::vector<std::wstring>& path);
    // False for an entry at or below a node that the commit removed.
    static bool Live(const Touched& entry);
    static bool ComponentsOf(const Touched& entry, std::vector<std::wstring_view>& components);

    ConstNodeP m_oldRoot;
    NodeP m_root;
    std::uint64_t m_epoch;
    std::deque<Touched> m_touched;          // stable addresses: nodes and children point at their records
    std::vector<std::wstring_view> m_names; // a put's path, split once per put without copies
    std::vector<std::vector<std::wstring>> m_removedEvents; // paths that existed before and are gone
    std::vector<std::wstring> m_removed;                    // what the store deletes
};

// Visits the children in insertion order.
template <typename Visitor> void ForEachChild(const Node& node, Visitor&& visit)
{
    node.children.ForEach(std::forward<Visitor>(visit));
}

} // namespace ConfigServer
