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

NodeP TreeUpdate::WritableChild(Node& parent, ChildEntry& entry)
{
    if (entry.node->epoch != m_epoch)
    {
        entry.node = std::make_shared<Node>(*entry.node);
        entry.node->epoch = m_epoch;
        entry.node->touched = nullptr;
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

Touched& TreeUpdate::Enter(const NodeP& node, const Touched* parent, std::uint64_t order)
{
    if (node->touched == nullptr)
    {
        node->touched = &m_touched.emplace_back(Touched{parent, node, order, 0, false});
    }
    return *node->touched;
}

Touched& TreeUpdate::Reach(const std::vector<std::wstring>& path)
{
    NodeP node = Writable(m_root);
    Touched* entry = &Enter(node, nullptr, 0);
    for (const auto& name : path)
    {
        auto it = node->index.find(name);
        if (it == node->index.end())
        {
            std::uint64_t order = 0;
            node = AddChild(*node, name, order);
            entry = &Enter(node, entry, order);
            entry->bits |= kEventAdded;
        }
        else
        {
            node = WritableChild(*node, it->second);
            entry = &Enter(node, entry, it->second.order);
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
        auto it = node.index.find(inputChild.name);
        Touched* child = nullptr;
        if (it == node.index.end())
        {
            std::uint64_t order = 0;
            NodeP made = AddChild(node, inputChild.name, order);
            child = &Enter(made, &target, order);
            child->bits |= kEventAdded;
        }
        else
        {
            child = &Enter(WritableChild(node, it->second), &target, it->second.order);
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
    auto it = parent.index.find(path.back());
    if (Node& removed = *it->second.node; removed.epoch == m_epoch && removed.touched != nullptr)
    {
        removed.touched->detached = true; // and with it everything the commit did below it
    }
    parent.children.erase(it->second.order);
    parent.index.erase(it);

    // The removal of this path stands for those of the paths below it.
    std::erase_if(
        m_removedEvents, [&](const std::vector<std::wstring>& earlier)
        { return earlier.size() >= path.size() && std::equal(path.begin(), path.end(), earlier.begin()); });
    if (Lookup(m_oldRoot, path))
    {
        m_removedEvents.push_back(path);
        m_removed.push_back(JoinPath(path, path.size()));
    }
}

void TreeUpdate::Apply(const Operation& operation)
{
    if (const auto* put = std::get_if<PutOperation>(&operation))
    {
        Merge(put->node, Reach(put->path));
    }
    else
    {
        Remove(std::get<RemoveOperation>(operation).path);
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
