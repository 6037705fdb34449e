#include "Platform/ConfigServer/Tree.h"

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

NodeP Node::FindChild(const std::wstring& childName) const
{
    auto it = index.find(childName);
    return it == index.end() ? nullptr : it->second.node;
}

bool IsValidName(const std::wstring& name)
{
    return !name.empty() && name.size() <= kMaxPathLength && name.find(L'\\') == std::wstring::npos &&
           name.find(L'\0') == std::wstring::npos;
}

bool SplitPath(const std::wstring& path, std::vector<std::wstring>& components)
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
        std::size_t end = path.find(L'\\', start);
        std::wstring piece = path.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (!IsValidName(piece) || components.size() >= kMaxTreeDepth)
        {
            components.clear();
            return false;
        }
        components.push_back(std::move(piece));
        if (end == std::wstring::npos)
        {
            return true;
        }
        start = end + 1;
    }
}

std::wstring ChildPath(const std::wstring& parentPath, const std::wstring& name)
{
    return parentPath == L"\\" ? L"\\" + name : parentPath + L"\\" + name;
}

static std::wstring JoinPath(const std::vector<std::wstring>& components, std::size_t count)
{
    if (count == 0)
    {
        return L"\\";
    }
    std::wstring path;
    for (std::size_t i = 0; i < count; ++i)
    {
        path += L'\\';
        path += components[i];
    }
    return path;
}

Relation RelationOf(const std::wstring& path, const std::wstring& base)
{
    if (path == base)
    {
        return Relation::Same;
    }
    if (base == L"\\")
    {
        return Relation::Below;
    }
    if (path == L"\\")
    {
        return Relation::Above;
    }
    if (path.size() > base.size() && path[base.size()] == L'\\' && path.compare(0, base.size(), base) == 0)
    {
        return Relation::Below;
    }
    if (base.size() > path.size() && base[path.size()] == L'\\' && base.compare(0, path.size(), path) == 0)
    {
        return Relation::Above;
    }
    return Relation::Unrelated;
}

std::size_t DepthOf(const std::wstring& path)
{
    return path == L"\\" ? 0 : static_cast<std::size_t>(std::count(path.begin(), path.end(), L'\\'));
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
    }
    return slot;
}

NodeP TreeUpdate::WritableChild(Node& parent, ChildEntry& entry)
{
    if (entry.node->epoch != m_epoch)
    {
        entry.node = std::make_shared<Node>(*entry.node);
        entry.node->epoch = m_epoch;
        parent.children[entry.order] = entry.node;
    }
    return entry.node;
}

NodeP TreeUpdate::AddChild(Node& parent, const std::wstring& name, std::uint64_t& order)
{
    auto child = std::make_shared<Node>();
    child->name = name;
    child->epoch = m_epoch;
    order = parent.nextOrder++;
    parent.children.emplace_hint(parent.children.end(), order, child);
    parent.index.emplace(name, ChildEntry{order, child});
    return child;
}

void TreeUpdate::Mark(const std::wstring& path, std::uint32_t bits, const NodeP& node, std::uint64_t order)
{
    Event& event = m_events[path];
    event.bits |= bits;
    event.node = node;
    event.order = order;
}

NodeP TreeUpdate::Reach(const std::vector<std::wstring>& path, std::wstring& fullPath, std::uint64_t& order)
{
    NodeP node = Writable(m_root);
    order = 0;
    fullPath = L"\\";
    for (const auto& name : path)
    {
        if (fullPath.size() > 1)
        {
            fullPath += L'\\';
        }
        fullPath += name;
        auto it = node->index.find(name);
        if (it == node->index.end())
        {
            node = AddChild(*node, name, order);
            Mark(fullPath, kEventAdded, node, order);
        }
        else
        {
            order = it->second.order;
            node = WritableChild(*node, it->second);
        }
    }
    return node;
}

void TreeUpdate::Merge(const InputNode& input, const NodeP& target, std::uint64_t order, std::wstring& path)
{
    if (!input.type.empty() && input.type != target->type)
    {
        target->type = input.type;
        Mark(path, kEventType, target, order);
    }
    for (const auto& attribute : input.attributes)
    {
        auto it = std::find_if(target->attributes.begin(), target->attributes.end(),
                               [&](const Attribute& a) { return a.name == attribute.name; });
        if (it == target->attributes.end())
        {
            target->attributes.push_back(attribute);
            Mark(path, kEventAttributes, target, order);
        }
        else if (!it->SameValue(attribute))
        {
            it->type = attribute.type;
            it->value = attribute.value;
            Mark(path, kEventAttributes, target, order);
        }
    }
    const std::size_t length = path.size();
    for (const auto& inputChild : input.children)
    {
        if (length > 1)
        {
            path += L'\\';
        }
        path += inputChild.name;
        auto it = target->index.find(inputChild.name);
        NodeP child;
        std::uint64_t childOrder = 0;
        if (it == target->index.end())
        {
            child = AddChild(*target, inputChild.name, childOrder);
            Mark(path, kEventAdded, child, childOrder);
        }
        else
        {
            childOrder = it->second.order;
            child = WritableChild(*target, it->second);
        }
        Merge(inputChild, child, childOrder, path);
        path.resize(length);
    }
}

void TreeUpdate::Remove(const std::vector<std::wstring>& path)
{
    if (path.empty() || !Lookup(m_root, path))
    {
        return; // a missing path is no error; the root itself is refused by the caller
    }
    std::vector<std::wstring> parentPath(path.begin(), path.end() - 1);
    std::wstring parentText;
    std::uint64_t parentOrder = 0;
    NodeP parent = Reach(parentPath, parentText, parentOrder);
    auto it = parent->index.find(path.back());
    parent->children.erase(it->second.order);
    parent->index.erase(it);

    std::wstring fullPath = JoinPath(path, path.size());
    for (auto e = m_events.begin(); e != m_events.end();)
    {
        Relation relation = RelationOf(e->first, fullPath);
        e = (relation == Relation::Same || relation == Relation::Below) ? m_events.erase(e) : std::next(e);
    }
    if (Lookup(m_oldRoot, path))
    {
        m_events[fullPath] = Event{kEventRemoved, nullptr, 0};
        m_removed.push_back(fullPath);
    }
}

void TreeUpdate::Apply(const Operation& operation)
{
    if (const auto* put = std::get_if<PutOperation>(&operation))
    {
        std::wstring fullPath;
        std::uint64_t order = 0;
        NodeP target = Reach(put->path, fullPath, order);
        Merge(put->node, target, order, fullPath);
    }
    else
    {
        Remove(std::get<RemoveOperation>(operation).path);
    }
}

ChangeSet TreeUpdate::MakeChangeSet() const
{
    ChangeSet changes;
    changes.removed = m_removed;
    changes.written.reserve(m_events.size());
    for (const auto& [path, event] : m_events)
    {
        if (!event.node)
        {
            continue; // removed, or created and removed again within the commit
        }
        NodeRecord record{path, {}, event.order, event.node.get()};
        if (path.size() > 1)
        {
            const std::size_t slash = path.rfind(L'\\');
            record.parent = std::wstring_view(path).substr(0, slash == 0 ? 1 : slash);
        }
        changes.written.push_back(record);
    }
    return changes;
}

} // namespace ConfigServer
