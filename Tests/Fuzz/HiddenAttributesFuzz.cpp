// Hidden node type attributes: the first input line is the "HiddenNodeTypeAttrs" setting, the rest
// builds a tree (nameless nodes, same-name siblings, deep chains). Masking must fail for a
// malformed setting and otherwise mask every hidden attribute in the copy, change nothing else, and
// leave the original as it was. The expected copy is built here from an independent reading of the
// setting.
#include "Common/ConfigTree/NodeSerializer.h"
#include "Common/ErrorHandling/HResult.h"
#include "FuzzSupport.h"
#include "Platform/Core/System.h"
#include "Platform/Core/Text.h"

#include <map>
#include <set>
#include <vector>

namespace
{
using Table = std::map<std::wstring, std::set<std::wstring>>;

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator)
{
    std::vector<std::wstring> pieces(1);
    for (wchar_t c : text)
    {
        if (c == separator)
        {
            pieces.emplace_back();
        }
        else
        {
            pieces.back() += c;
        }
    }
    return pieces;
}

std::wstring Trim(const std::wstring& text)
{
    auto blank = [](wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; };
    std::size_t b = 0;
    std::size_t e = text.size();
    while (b < e && blank(text[b]))
    {
        ++b;
    }
    while (e > b && blank(text[e - 1]))
    {
        --e;
    }
    return text.substr(b, e - b);
}

// False for a malformed setting.
bool ReadSetting(const std::wstring& setting, Table& table)
{
    for (const std::wstring& entry : Split(Trim(setting), L';'))
    {
        if (entry.empty())
        {
            continue;
        }
        std::vector<std::wstring> sides;
        for (const std::wstring& piece : Split(entry, L':'))
        {
            if (!piece.empty())
            {
                sides.push_back(piece);
            }
        }
        if (sides.size() != 2)
        {
            return false;
        }
        std::set<std::wstring>& names = table[Trim(sides[0])];
        for (const std::wstring& name : Split(sides[1], L','))
        {
            if (!Trim(name).empty())
            {
                names.insert(Trim(name));
            }
        }
    }
    return true;
}

const wchar_t* const kNames[] = {nullptr, L"", L"A", L"A", L"P", L"CreateSessionRequest", L"\\", L"A\\B"};
const wchar_t* const kTypes[] = {nullptr, L"Connection", L"CreateSessionRequest", L"*", L"X", L""};
const wchar_t* const kAttributes[] = {L"Password", L"Server",   L"UserName", L"Token",
                                      L"*",        L"password", L"P w"};
constexpr std::size_t kMaxNodes = 2000;

VXNodePtr BuildTree(Fuzz::Input& input)
{
    VXNodePtr root = VXNodePtr::Create(L"Root", L"Connection");
    std::vector<VXNodePtr> path{root};
    std::size_t nodes = 1;
    auto newNode = [&](Fuzz::Input& in)
    {
        ++nodes;
        return VXNodePtr::Create(kNames[in.Below(std::size(kNames))], kTypes[in.Below(std::size(kTypes))]);
    };
    while (!input.Empty() && nodes < kMaxNodes)
    {
        VXNodePtr& current = path.back();
        switch (input.Below(8))
        {
        case 0:
        case 1:
        {
            VXNodePtr child = newNode(input);
            current.AddChild(child);
            path.push_back(child);
            break;
        }
        case 2:
            if (path.size() > 1)
            {
                path.pop_back();
            }
            break;
        case 3:
        {
            const wchar_t* name = kAttributes[input.Below(std::size(kAttributes))];
            current.SetStringAttribute(name, Platform::FromUtf8(input.Bytes(input.Below(8))));
            break;
        }
        case 4:
        {
            const wchar_t* name = kAttributes[input.Below(std::size(kAttributes))];
            std::string_view value = input.Bytes(input.Below(9));
            try
            {
                current.SetAttribute(name, input.Byte(), value.data(), value.size());
            }
            catch (const HRX&)
            {
                // a value the data layer refuses for that code
            }
            break;
        }
        case 5:
        { // a deep chain, a hidden candidate at its bottom
            std::size_t levels = 1 + input.Byte() * 2u;
            VXNodePtr bottom = current;
            for (std::size_t i = 0; i < levels && nodes < kMaxNodes; ++i)
            {
                VXNodePtr child = newNode(input);
                bottom.AddChild(child);
                bottom = child;
            }
            bottom.SetStringAttribute(kAttributes[input.Below(std::size(kAttributes))], L"deep");
            break;
        }
        case 6:
        { // same-name siblings: a copy of the current node beside it
            if (path.size() > 1)
            {
                path[path.size() - 2].AddChild(current.Clone(input.Below(3), 0));
                ++nodes;
            }
            break;
        }
        default:
        {
            VXNodePtr child = newNode(input);
            current.AddChild(child);
            break;
        }
        }
    }
    return root;
}

// The copy masking should give: a clone with every hidden attribute of the visited nodes masked,
// found by walking clone and original side by side. Null when nothing is hidden.
VXNodePtr ExpectedCopy(const VXNodePtr& node, std::uint64_t depth, const Table& table)
{
    VXNodePtr copy = node.Clone(depth, 0);
    bool masked = false;
    struct Pair
    {
        VXNodePtr original;
        VXNodePtr copy;
        std::uint64_t depthLeft;
    };
    std::vector<Pair> pending{{node, copy, depth}};
    auto star = table.find(L"*");
    while (!pending.empty())
    {
        Pair pair = std::move(pending.back());
        pending.pop_back();
        auto own = table.find(pair.original.GetType());
        for (auto entry : {own, star})
        {
            if (entry == table.end())
            {
                continue;
            }
            for (const std::wstring& name : entry->second)
            {
                if (pair.original.HasAttribute(name))
                {
                    pair.copy.SetStringAttribute(name, L"********");
                    masked = true;
                }
            }
        }
        if (pair.depthLeft == 0)
        {
            continue;
        }
        const std::uint64_t count = pair.original.GetChildCount();
        FUZZ_CHECK(pair.copy.GetChildCount() == count);
        for (std::uint64_t i = 0; i < count; ++i)
        {
            pending.push_back({pair.original.GetChild(i), pair.copy.GetChild(i), pair.depthLeft - 1});
        }
    }
    return masked ? copy : VXNodePtr();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Fuzz::Input input(data, size);
    std::wstring setting = Platform::FromUtf8(input.Line());
    setting = setting.substr(0, setting.find(L'\0'));
    const std::uint64_t depths[] = {0, 1, 2, kDepthAll};
    const std::uint64_t depth = depths[input.Below(4)];
    VXNodePtr tree = BuildTree(input);
    IVXNode* treeHandle = tree.Get();
    const std::string before = Fuzz::Serialize(treeHandle);

    Platform::SetEnvironmentVariable(L"GS_Logger_HiddenNodeTypeAttrs", &setting);
    ResetHiddenAttributesForTesting();
    Table table;
    const bool wellFormed = ReadSetting(setting, table);
    try
    {
        VXNodePtr result = MaskHiddenAttributes(tree, depth);
        FUZZ_CHECK(wellFormed);
        VXNodePtr expected = ExpectedCopy(tree, depth, table);
        if (!expected.IsValid())
        {
            FUZZ_CHECK(result.Get() == tree.Get());
        }
        else
        {
            FUZZ_CHECK(result.Get() != tree.Get());
            IVXNode* resultHandle = result.Get();
            IVXNode* expectedHandle = expected.Get();
            FUZZ_CHECK(Fuzz::Serialize(resultHandle) == Fuzz::Serialize(expectedHandle));
        }
    }
    catch (const HRX& e)
    {
        FUZZ_CHECK(!wellFormed && e.Code() == E_INVALIDARG);
    }
    FUZZ_CHECK(Fuzz::Serialize(treeHandle) == before);
    return 0;
}
