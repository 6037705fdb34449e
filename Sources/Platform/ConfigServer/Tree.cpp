#include "Platform/ConfigServer/Tree.h"

#include "Common/Base/Path.h"

#include <algorithm>

namespace ConfigServer
{

const Attribute* Node::FindAttribute(const std::wstring& attributeName) const
{
    for (const auto& attribute : attributes)
    {
        if (attribute.name == attributeName)
        {
            return &attribute;
        }
    }
    return nullptr;
}

NodeP Node::FindChild(std::wstring_view childName) const
{
    const std::size_t slot = children.Locate(childName);
    return slot == ChildTable::npos ? nullptr : children.At(slot);
}

namespace
{
// Below this many children a lookup compares names in a row; the index starts beyond it.
constexpr std::size_t kIndexFrom = 8;
} // namespace

std::uint32_t ChildTable::HashOf(std::wstring_view name) noexcept
{
    std::uint64_t h = 0xCBF29CE484222325ull; // FNV-1a over the characters
    for (wchar_t c : name)
    {
        h = (h ^ static_cast<std::uint32_t>(c)) * 0x100000001B3ull;
    }
    return static_cast<std::uint32_t>(h ^ (h >> 32));
}

std::size_t ChildTable::Locate(std::wstring_view name) const noexcept
{
    if (m_index.empty())
    {
        for (std::size_t slot = 0; slot < m_slots.size(); ++slot)
        {
            if (m_slots[slot] && m_slots[slot]->name == name)
            {
                return slot;
            }
        }
        return npos;
    }
    const std::uint32_t hash = HashOf(name);
    const std::size_t mask = m_index.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask)
    {
        const IndexEntry& entry = m_index[i];
        if (entry.slot == 0)
        {
            return npos;
        }
        if (entry.hash == hash && m_slots[entry.slot - 1]->name == name)
        {
            return entry.slot - 1;
        }
    }
}

void ChildTable::Place(IndexEntry entry) noexcept
{
    const std::size_t mask = m_index.size() - 1;
    std::size_t i = entry.hash & mask;
    while (m_index[i].slot != 0)
    {
        i = (i + 1) & mask;
    }
    m_index[i] = entry;
}

void ChildTable::Index(std::size_t slot)
{
    Place(IndexEntry{static_cast<std::uint32_t>(slot + 1), HashOf(m_slots[slot]->name)});
}

void ChildTable::Unindex(std::size_t slot)
{
    const std::size_t mask = m_index.size() - 1;
    std::size_t i = HashOf(m_slots[slot]->name) & mask;
    while (m_index[i].slot != slot + 1)
    {
        i = (i + 1) & mask;
    }
    // Backward-shift deletion keeps every probe chain unbroken without tombstones.
    for (std::size_t next = (i + 1) & mask; m_index[next].slot != 0; next = (next + 1) & mask)
    {
        const std::size_t home = m_index[next].hash & mask;
        if (((next - home) & mask) >= ((next - i) & mask))
        {
            m_index[i] = m_index[next];
            i = next;
        }
    }
    m_index[i] = IndexEntry{};
}

void ChildTable::Rebuild()
{
    // Compact the slots when removed ones are the majority, then index what is left. The hashes
    // move over from the old index, so that growing a large table reads no child's name.
    std::vector<std::uint32_t> moved; // old slot -> new slot + 1, when compacting
    if (m_live * 2 < m_slots.size())
    {
        moved.assign(m_slots.size(), 0);
        std::size_t next = 0;
        for (std::size_t slot = 0; slot < m_slots.size(); ++slot)
        {
            if (m_slots[slot])
            {
                moved[slot] = static_cast<std::uint32_t>(next + 1);
                m_slots[next++] = std::move(m_slots[slot]);
            }
        }
        m_slots.resize(next);
    }
    std::vector<IndexEntry> old;
    old.swap(m_index);
    if (m_live <= kIndexFrom)
    {
        return;
    }
    std::size_t capacity = 16;
    while (capacity < m_slots.size() * 2)
    {
        capacity *= 2;
    }
    m_index.assign(capacity, IndexEntry{});
    if (old.empty())
    {
        for (std::size_t slot = 0; slot < m_slots.size(); ++slot)
        {
            if (m_slots[slot])
            {
                Place(IndexEntry{static_cast<std::uint32_t>(slot + 1), HashOf(m_slots[slot]->name)});
            }
        }
        return;
    }
    for (IndexEntry entry : old)
    {
        if (entry.slot != 0)
        {
            if (!moved.empty())
            {
                entry.slot = moved[entry.slot - 1];
            }
            Place(entry);
        }
    }
}

void ChildTable::Append(NodeP child)
{
    child->order = m_nextOrder++;
    Load(std::move(child));
}

void ChildTable::Load(NodeP child)
{
    if (m_slots.size() >= UINT32_MAX - 1)
    {
        throw std::bad_alloc();
    }
    m_nextOrder = std::max(m_nextOrder, child->order + 1);
    m_slots.push_back(std::move(child));
    ++m_live;
    // The index is at most half full, so the new name fits before the index grows.
    if (!m_index.empty())
    {
        Index(m_slots.size() - 1);
    }
    if (m_index.empty() ? m_live > kIndexFrom : m_slots.size() * 2 > m_index.size())
    {
        Rebuild();
    }
}

void ChildTable::Erase(std::size_t slot)
{
    if (!m_index.empty())
    {
        Unindex(slot);
    }
    m_slots[slot] = nullptr;
    --m_live;
    if (m_live * 2 < m_slots.size() && m_slots.size() > kIndexFrom)
    {
        Rebuild();
    }
    else if (m_live == 0)
    {
        m_slots.clear();
        m_index.clear();
    }
}

void ChildTable::Restore()
{
    std::sort(m_slots.begin(), m_slots.end(),
              [](const NodeP& a, const NodeP& b) { return a->order < b->order; });
    m_index.clear(); // slot numbers changed: index the names afresh
    Rebuild();
}

void ChildTable::Insert(NodeP child)
{
    const NodeP* last = nullptr;
    for (auto it = m_slots.rbegin(); it != m_slots.rend() && last == nullptr; ++it)
    {
        last = *it ? &*it : nullptr;
    }
    const bool inPlace = last == nullptr || (*last)->order < child->order;
    Load(std::move(child));
    if (!inPlace)
    {
        Restore();
    }
}

bool IsValidName(const std::wstring& name)
{
    return !name.empty() && name.size() <= kMaxPathLength && name.find(L'\\') == std::wstring::npos &&
           name.find(L'\0') == std::wstring::npos;
}

bool SplitPathViews(std::wstring_view path, std::vector<std::wstring_view>& components)
{
    components.clear();
    if (path.empty() || path.size() > kMaxPathLength || path[0] != L'\\')
    {
        return false;
    }
    if (path.size() == 1)
    {
        return true; // the root
    }
    std::size_t start = 1;
    while (true)
    {
        const std::size_t end = path.find(L'\\', start);
        const std::wstring_view piece =
            path.substr(start, end == std::wstring_view::npos ? end : end - start);
        if (piece.empty() || piece.find(L'\0') != std::wstring_view::npos ||
            components.size() >= kMaxTreeDepth)
        {
            components.clear();
            return false;
        }
        components.push_back(piece);
        if (end == std::wstring_view::npos)
        {
            return true;
        }
        start = end + 1;
    }
}

bool SplitPath(const std::wstring& path, std::vector<std::wstring>& components)
{
    std::vector<std::wstring_view> views;
    const bool valid = SplitPathViews(path, views);
    components.assign(views.begin(), views.end());
    return valid;
}

std::wstring ChildPath(const std::wstring& parentPath, const std::wstring& name)
{
    return Base::ChildPath(parentPath, name);
}

ConstNodeP Lookup(const ConstNodeP& root, const std::vector<std::wstring>& components)
{
    ConstNodeP node = root;
    for (const auto& name : components)
    {
        if (!node)
        {
            break;
        }
        node = node->FindChild(name);
    }
    return node;
}

std::wstring PathOf(const Touched& entry)
{
    std::vector<std::wstring_view> names;
    for (const Touched* e = &entry; e->parent != nullptr; e = e->parent)
    {
        names.push_back(e->node->name);
    }
    if (names.empty())
    {
        return L"\\";
    }
    std::wstring path;
    for (auto it = names.rbegin(); it != names.rend(); ++it)
    {
        path += L'\\';
        path += *it;
    }
    return path;
}

TreeUpdate::TreeUpdate(ConstNodeP oldRoot, std::uint64_t epoch)
    : m_oldRoot(std::move(oldRoot)), m_root(std::const_pointer_cast<Node>(m_oldRoot)), m_epoch(epoch)
{
}

NodeP TreeUpdate::Writable(NodeP& slot)
{
    // Nodes of a published tree are shared with readers: copy before the first change.
    if (slot->epoch != m_epoch)
    {
        slot = std::make_shared<Node>(*slot);
        slot->epoch = m_epoch;
        slot->touched = nullptr;
    }
    return slot;
}

const NodeP& TreeUpdate::WritableChild(Node& parent, std::size_t slot)
{
    const NodeP& child = parent.children.At(slot);
    if (child->epoch != m_epoch)
    {
        auto copy = std::make_shared<Node>(*child);
        copy->epoch = m_epoch;
        copy->touched = nullptr;
        parent.children.Replace(slot, std::move(copy));
    }
    return parent.children.At(slot);
}

NodeP TreeUpdate::AddChild(Node& parent, std::wstring_view name)
{
    auto child = std::make_shared<Node>();
    child->name = name;
    child->epoch = m_epoch;
    parent.children.Append(child);
    return child;
}

Touched& TreeUpdate::Enter(const NodeP& node, const Touched* parent)
{
    if (node->touched == nullptr)
    {
        node->touched = &m_touched.emplace_back(Touched{parent, node, 0, false});
    }
    return *node->touched;
}

template <typename Names> Touched& TreeUpdate::Reach(const Names& path)
{
    NodeP node = Writable(m_root);
    Touched* entry = &Enter(node, nullptr);
    for (const auto& name : path)
    {
        const std::size_t slot = node->children.Locate(name);
        if (slot == ChildTable::npos)
        {
            node = AddChild(*node, name);
            entry = &Enter(node, entry);
            entry->bits |= kEventAdded;
        }
        else
        {
            node = WritableChild(*node, slot);
            entry = &Enter(node, entry);
        }
    }
    return *entry;
}

void TreeUpdate::Merge(const InputNode& input, Touched& target)
{
    Node& node = *target.node;
    if (!input.type.empty() && input.type != node.type)
    {
        node.type = input.type;
        target.bits |= kEventType;
    }
    for (const auto& attribute : input.attributes)
    {
        auto it = std::find_if(node.attributes.begin(), node.attributes.end(),
                               [&](const Attribute& a) { return a.name == attribute.name; });
        if (it == node.attributes.end())
        {
            node.attributes.push_back(attribute);
            target.bits |= kEventAttributes;
        }
        else if (!it->SameValue(attribute))
        {
            it->type = attribute.type;
            it->value = attribute.value;
            target.bits |= kEventAttributes;
        }
    }
    for (const auto& inputChild : input.children)
    {
        const std::size_t slot = node.children.Locate(inputChild.name);
        Touched* child = nullptr;
        if (slot == ChildTable::npos)
        {
            child = &Enter(AddChild(node, inputChild.name), &target);
            child->bits |= kEventAdded;
        }
        else
        {
            child = &Enter(WritableChild(node, slot), &target);
        }
        Merge(inputChild, *child);
    }
}

void TreeUpdate::Remove(const std::vector<std::wstring>& path)
{
    if (path.empty() || !Lookup(m_root, path))
    {
        return; // a missing path is no error; the root itself is refused by the caller
    }
    std::vector<std::wstring> parentPath(path.begin(), path.end() - 1);
    Node& parent = *Reach(parentPath).node;
    const std::size_t slot = parent.children.Locate(path.back());
    if (Node& removed = *parent.children.At(slot); removed.epoch == m_epoch && removed.touched != nullptr)
    {
        removed.touched->detached = true; // and with it everything the commit did below it
    }
    parent.children.Erase(slot);

    // The removal of this path stands for those of the paths below it.
    std::erase_if(
        m_removedEvents, [&](const std::vector<std::wstring>& earlier)
        { return earlier.size() >= path.size() && std::equal(path.begin(), path.end(), earlier.begin()); });
    if (Lookup(m_oldRoot, path))
    {
        m_removedEvents.push_back(path);
        m_removed.push_back(Base::JoinPath(path));
    }
}

void TreeUpdate::Apply(const Operation& operation)
{
    if (const auto* put = std::get_if<PutOperation>(&operation))
    {
        SplitPathViews(put->path, m_names); // checked when the put was made
        Merge(put->node, Reach(m_names));
    }
    else
    {
        Remove(std::get<RemoveOperation>(operation).path);
    }
}

void TreeUpdate::ApplyRecord(const std::wstring& path, std::uint64_t order, const std::wstring& type,
                             const std::vector<Attribute>& attributes)
{
    if (!SplitPathViews(path, m_names))
    {
        return;
    }
    Touched* target = nullptr;
    if (m_names.empty())
    {
        target = &Reach(m_names);
    }
    else
    {
        const std::wstring_view name = m_names.back();
        m_names.pop_back();
        Touched& parent = Reach(m_names);
        Node& node = *parent.node;
        const std::size_t slot = node.children.Locate(name);
        if (slot == ChildTable::npos)
        {
            auto child = std::make_shared<Node>();
            child->name = name;
            child->epoch = m_epoch;
            child->order = order;
            node.children.Insert(child);
            target = &Enter(child, &parent);
            target->bits |= kEventAdded;
        }
        else
        {
            target = &Enter(WritableChild(node, slot), &parent);
        }
    }
    Node& node = *target->node;
    if (node.type != type)
    {
        node.type = type;
        target->bits |= kEventType;
    }
    const bool same =
        node.attributes.size() == attributes.size() &&
        std::equal(attributes.begin(), attributes.end(), node.attributes.begin(),
                   [](const Attribute& a, const Attribute& b) { return a.name == b.name && a.SameValue(b); });
    if (!same)
    {
        node.attributes = attributes;
        target->bits |= kEventAttributes;
    }
}

bool TreeUpdate::Live(const Touched& entry)
{
    for (const Touched* e = &entry; e != nullptr; e = e->parent)
    {
        if (e->detached)
        {
            return false;
        }
    }
    return true;
}

bool TreeUpdate::ComponentsOf(const Touched& entry, std::vector<std::wstring_view>& components)
{
    components.clear();
    if (!Live(entry))
    {
        return false;
    }
    for (const Touched* e = &entry; e->parent != nullptr; e = e->parent)
    {
        components.push_back(e->node->name);
    }
    std::reverse(components.begin(), components.end());
    return true;
}

bool TreeUpdate::Changed() const
{
    return !m_removed.empty() ||
           std::any_of(m_touched.begin(), m_touched.end(),
                       [](const Touched& entry) { return entry.bits != 0 && Live(entry); });
}

ChangeSet TreeUpdate::MakeChangeSet() const
{
    ChangeSet changes;
    changes.oldRoot = m_oldRoot;
    changes.removed = m_removed;
    for (const Touched& entry : m_touched)
    {
        if (entry.bits != 0 && Live(entry))
        {
            changes.written.push_back(NodeRecord{&entry});
        }
    }
    return changes;
}

} // namespace ConfigServer
