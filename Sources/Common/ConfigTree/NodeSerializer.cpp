#include "Common/ConfigTree/NodeSerializer.h"

#include "Common/Base/Locks.h"
#include "Common/ErrorHandling/HResult.h"
#include "Common/Settings/GlobalSettings.h"
#include "Platform/Core/Text.h"

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace
{
constexpr wchar_t kMask[] = L"********";

using HiddenAttributesTable = std::map<std::wstring, std::set<std::wstring>>;

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator)
{
    std::vector<std::wstring> pieces;
    std::size_t start = 0;
    for (;;)
    {
        std::size_t at = text.find(separator, start);
        if (at == std::wstring::npos)
        {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

std::unique_ptr<HiddenAttributesTable> ParseHiddenAttributes(const std::wstring& setting)
{
    auto table = std::make_unique<HiddenAttributesTable>();
    for (const std::wstring& entry : Split(setting, L';'))
    {
        if (entry.empty())
        {
            continue;
        }
        // Adjacent separators between the two sides still make two pieces.
        std::vector<std::wstring> sides;
        for (std::wstring& piece : Split(entry, L':'))
        {
            if (!piece.empty())
            {
                sides.push_back(std::move(piece));
            }
        }
        if (sides.size() != 2)
        {
            RaiseHResult(E_INVALIDARG);
        }
        std::set<std::wstring>& names = (*table)[Settings::Trim(sides[0])];
        for (const std::wstring& name : Split(sides[1], L','))
        {
            std::wstring trimmed = Settings::Trim(name);
            if (!trimmed.empty())
            {
                names.insert(trimmed);
            }
        }
    }
    return table;
}

Base::Mutex g_tableLock;
std::unique_ptr<HiddenAttributesTable> g_table RSM_GUARDED_BY(g_tableLock);

// Built once; a malformed setting fails this dump and the next dump tries again.
const HiddenAttributesTable& HiddenAttributes()
{
    Base::LockGuard<Base::Mutex> lock(g_tableLock);
    if (!g_table)
    {
        std::wstring setting = Settings::GetGlobalSettingOr(L"Logger", L"HiddenNodeTypeAttrs", L"");
        g_table = ParseHiddenAttributes(setting);
    }
    return *g_table;
}

std::wstring TrimTrailing(std::string& text)
{
    while (!text.empty() &&
           (text.back() == ' ' || text.back() == '\r' || text.back() == '\n' || text.back() == '\t'))
    {
        text.pop_back();
    }
    std::size_t begin = 0;
    if (text.rfind("<nr>", 0) == 0)
    {
        std::size_t lineBreak = text.find("\r\n", 4);
        // Without a line break after the opening only the framing would be left: show nothing of it.
        begin = lineBreak == std::string::npos ? text.size() : lineBreak;
    }
    std::size_t end = text.size();
    constexpr std::string_view closing = "</nr>";
    if (end >= closing.size() && text.compare(end - closing.size(), closing.size(), closing) == 0)
    {
        end -= closing.size();
        while (end > begin && (text[end - 1] == '\r' || text[end - 1] == '\n'))
        {
            --end;
        }
    }
    if (end < begin)
    {
        end = begin;
    }
    return Platform::FromUtf8(std::string_view(text).substr(begin, end - begin));
}
} // namespace

CNodeSerializer::CNodeSerializer(std::uint32_t serializationType, std::uint32_t flags, std::string& output)
    : m_output(output)
{
    HRX hr;
    hr = VxnStartSerialization(serializationType, flags, &CNodeSerializer::WriteChunk, this, &m_context);
}

CNodeSerializer::~CNodeSerializer()
{
    if (m_context != nullptr)
    {
        VxnCloseSerializationContext(m_context);
    }
}

void CNodeSerializer::SerializeNodes(IVXNode* const* nodes, std::uint64_t count, std::uint64_t depth)
{
    HRX hr;
    hr = VxnSerializeNodes(m_context, nodes, count, depth);
}

void CNodeSerializer::Finalize()
{
    HRX hr;
    hr = VxnFinalizeSerialization(m_context);
}

HRESULT CNodeSerializer::WriteChunk(const void* data, std::uint64_t size, void* context)
{
    try
    {
        auto* self = static_cast<CNodeSerializer*>(context);
        self->m_output.append(static_cast<const char*>(data), static_cast<std::size_t>(size));
    }
    catch (const HRX& e)
    {
        return e.Code();
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

std::string SerializeNodesToString(IVXNode* const* nodes, std::uint64_t count, std::uint32_t flags,
                                   std::uint64_t depth)
{
    std::string output;
    {
        CNodeSerializer serializer(1, flags, output);
        if (count != 0)
        {
            serializer.SerializeNodes(nodes, count, depth);
        }
        serializer.Finalize();
    }
    if (!output.empty() && output.back() == '\0')
    {
        output.pop_back();
    }
    return output;
}

namespace
{
// One node of the masking walk: the original, its counterpart in the copy (empty until the copy
// exists), how many levels may still be visited below it and the next child to visit.
struct MaskFrame
{
    VXNodePtr original;
    VXNodePtr copy;
    std::uint64_t depthLeft = 0;
    std::uint64_t childCount = 0;
    std::uint64_t nextChild = 0;
};
} // namespace

VXNodePtr MaskHiddenAttributes(const VXNodePtr& node, std::uint64_t depth)
{
    const HiddenAttributesTable& table = HiddenAttributes();
    if (table.empty())
    {
        return node;
    }
    auto star = table.find(L"*");
    const std::set<std::wstring>* starNames = star != table.end() ? &star->second : nullptr;

    // Pre-order walk with an explicit stack (trees may be far deeper than the call stack allows).
    // The copy is a clone of the same shape, so child i of a copy node is the counterpart of child i
    // of its original; paths cannot tell nameless or same-name siblings apart.
    VXNodePtr copy;
    std::vector<MaskFrame> stack;
    auto visit = [&](MaskFrame& frame)
    {
        const std::set<std::wstring>* entries[2] = {nullptr, starNames};
        auto own = table.find(frame.original.GetType());
        if (own != table.end())
        {
            entries[0] = &own->second;
        }
        for (const std::set<std::wstring>* names : entries)
        {
            if (names == nullptr)
            {
                continue;
            }
            for (const std::wstring& name : *names)
            {
                if (!frame.original.HasAttribute(name))
                {
                    continue;
                }
                if (!copy.IsValid())
                {
                    copy = node.Clone(depth, 0);
                    // The stack holds the visited node and its ancestors: find their counterparts.
                    stack.front().copy = copy;
                    for (std::size_t level = 1; level < stack.size(); ++level)
                    {
                        const MaskFrame& above = stack[level - 1];
                        if (above.copy.IsValid())
                        {
                            stack[level].copy = above.copy.GetChild(above.nextChild - 1, false);
                        }
                    }
                }
                // Empty only when the original changed under the walk: nothing to mask it in.
                if (frame.copy.IsValid())
                {
                    frame.copy.SetStringAttribute(name, kMask);
                }
            }
        }
    };

    stack.push_back(MaskFrame{node, VXNodePtr(), depth, depth == 0 ? 0 : node.GetChildCount(), 0});
    visit(stack.back());
    while (!stack.empty())
    {
        MaskFrame& frame = stack.back();
        if (frame.nextChild >= frame.childCount)
        {
            stack.pop_back();
            continue;
        }
        const std::uint64_t index = frame.nextChild++;
        VXNodePtr child = frame.original.GetChild(index, false);
        if (!child.IsValid())
        {
            frame.nextChild = frame.childCount;
            continue;
        }
        VXNodePtr childCopy = frame.copy.IsValid() ? frame.copy.GetChild(index, false) : VXNodePtr();
        const std::uint64_t depthLeft = frame.depthLeft - 1;
        const std::uint64_t childCount = depthLeft == 0 ? 0 : child.GetChildCount();
        stack.push_back(MaskFrame{std::move(child), std::move(childCopy), depthLeft, childCount, 0});
        visit(stack.back());
    }
    return copy.IsValid() ? copy : node;
}

NodeDump::NodeDump(const VXNodePtr& node, bool wholeSubtree) : m_depth(wholeSubtree ? kDepthAll : 0)
{
    if (node.IsValid())
    {
        m_node = MaskHiddenAttributes(node, m_depth);
    }
}

std::wstring NodeDump::Text() const
{
    if (!m_node.IsValid())
    {
        return L"VXNode[<null>]";
    }
    IVXNode* handle = m_node.Get();
    std::string serialized = SerializeNodesToString(&handle, 1, 0x101, m_depth);
    std::wstring body = TrimTrailing(serialized);
    char address[32];
    std::snprintf(address, sizeof(address), "%016llX",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(handle)));
    return L"VXNode[0x" + Platform::Widen(address) + L"]:\r\n" + body;
}

std::wostream& operator<<(std::wostream& stream, const NodeDump& dump)
{
    return stream << dump.Text();
}

void ResetHiddenAttributesForTesting()
{
    Base::LockGuard<Base::Mutex> lock(g_tableLock);
    g_table.reset();
}
