#include "Common/ConfigTree/NodeSerializer.h"

#include "Common/ErrorHandling/HResult.h"
#include "Common/Settings/GlobalSettings.h"
#include "Platform/Core/Text.h"

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>

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

std::mutex g_tableLock;
std::unique_ptr<HiddenAttributesTable> g_table;

// Built once; a malformed setting fails this dump and the next dump tries again.
const HiddenAttributesTable& HiddenAttributes()
{
    std::lock_guard<std::mutex> lock(g_tableLock);
    if (!g_table)
    {
        std::wstring setting = Settings::GetGlobalSettingOr(L"Logger", L"HiddenNodeTypeAttrs", L"");
        g_table = ParseHiddenAttributes(setting);
    }
    return *g_table;
}

void Visit(const VXNodePtr& node, std::uint64_t depth, const std::function<void(const VXNodePtr&)>& action)
{
    action(node);
    if (depth == 0)
    {
        return;
    }
    node.ForEachChild([&](const VXNodePtr& child) { Visit(child, depth - 1, action); });
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

VXNodePtr MaskHiddenAttributes(const VXNodePtr& node, std::uint64_t depth)
{
    const HiddenAttributesTable& table = HiddenAttributes();
    if (table.empty())
    {
        return node;
    }
    VXNodePtr copy;
    auto star = table.find(L"*");
    Visit(node, depth,
          [&](const VXNodePtr& visited)
          {
              const std::set<std::wstring>* entries[2] = {nullptr, nullptr};
              auto own = table.find(visited.GetType());
              if (own != table.end())
              {
                  entries[0] = &own->second;
              }
              if (star != table.end())
              {
                  entries[1] = &star->second;
              }
              for (const std::set<std::wstring>* names : entries)
              {
                  if (names == nullptr)
                  {
                      continue;
                  }
                  for (const std::wstring& name : *names)
                  {
                      if (!visited.HasAttribute(name))
                      {
                          continue;
                      }
                      if (!copy.IsValid())
                      {
                          copy = node.Clone(depth, 0);
                      }
                      VXNodePtr target = FindNodeByPath(copy, visited.GetName(2), 1);
                      if (target.IsValid())
                      {
                          target.SetStringAttribute(name, kMask);
                      }
                  }
              }
          });
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
    std::lock_guard<std::mutex> lock(g_tableLock);
    g_table.reset();
}
