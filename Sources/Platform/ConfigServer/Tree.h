// The server's own tree: immutable once published, so readers and pending deliveries share it
// without copying; a commit copies only the nodes it touches (path copying).
#pragma once

#include "RsmTypes.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
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

// A child's place in its parent: the order key and the node itself, so that a lookup by name
// needs no walk of the ordered map.
struct ChildEntry
{
    std::uint64_t order = 0;
    NodeP node;
};

struct Node
{
    std::wstring name;
    std::wstring type;
    std::vector<Attribute> attributes;                  // in the order they were first set
    std::map<std::uint64_t, NodeP> children;            // by order key: insertion order
    std::unordered_map<std::wstring, ChildEntry> index; // child name -> its place
    std::uint64_t nextOrder = 0;
    std::uint64_t epoch = 0; // the commit that may still change this node in place
    // That commit's record of the node; meaningless once the commit is over.
    Touched* touched = nullptr;

    const Attribute* FindAttribute(const std::wstring& attributeName) const;
    NodeP FindChild(const std::wstring& childName) const;
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
std::wstring ChildPath(const std::wstring& parentPath, const std::wstring& name);
bool IsValidName(const std::wstring& name);

// Where a path lies relative to a base path: the same node, strictly below it, strictly above
// it, or unrelated.
enum class Relation
{
    Same,
    Below,
    Above,
    Unrelated,
};

ConstNodeP Lookup(const ConstNodeP& root, const std::vector<std::wstring>& components);

struct PutOperation
{
    std::vector<std::wstring> path;
    InputNode node;
};
struct RemoveOperation
{
    std::vector<std::wstring> path;
};
using Operation = std::variant<PutOperation, RemoveOperation>;

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
    std::uint64_t order = 0;         // the node's order key in its parent
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
    std::uint64_t Order() const { return entry->order; }
    std::wstring Path() const { return PathOf(*entry); }
    std::wstring Parent() const { return entry->parent == nullptr ? std::wstring() : PathOf(*entry->parent); }
};
struct ChangeSet
{
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
    // The child of a writable parent, made writable in both of the parent's maps.
    NodeP WritableChild(Node& parent, ChildEntry& entry);
    // Appends a new child named name to a writable parent; returns it with its order key.
    NodeP AddChild(Node& parent, const std::wstring& name, std::uint64_t& order);
    // The record of a writable node, made on first sight.
    Touched& Enter(const NodeP& node, const Touched* parent, std::uint64_t order);
    // Walks to the node at path, creating what is missing; returns the writable node's entry.
    Touched& Reach(const std::vector<std::wstring>& path);
    void Merge(const InputNode& input, Touched& target);
    void Remove(const std::vector<std::wstring>& path);
    // False for an entry at or below a node that the commit removed.
    static bool Live(const Touched& entry);
    static bool ComponentsOf(const Touched& entry, std::vector<std::wstring_view>& components);

    ConstNodeP m_oldRoot;
    NodeP m_root;
    std::uint64_t m_epoch;
    std::deque<Touched> m_touched; // stable addresses: nodes and children point at their records
    std::vector<std::vector<std::wstring>> m_removedEvents; // paths that existed before and are gone
    std::vector<std::wstring> m_removed;                    // what the store deletes
};

// Visits the children in insertion order.
template <typename Visitor> void ForEachChild(const Node& node, Visitor&& visit)
{
    for (const auto& [order, child] : node.children)
    {
        visit(*child);
    }
}

} // namespace ConfigServer
