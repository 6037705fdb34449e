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
#include <tuple>
#include <vector>

namespace
{
using Table = std::map<std::wstring, std::set<std::wstring>>;

// The non-empty pieces between separators.
std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator)
{
    std::vector<std::wstring> pieces(1);
    for (wchar_t c : text)
    {
        c == separator ? void(pieces.emplace_back()) : void(pieces.back() += c);
    }
    std::erase(pieces, std::wstring());
    return pieces;
}

std::wstring Trim(const std::wstring& text)
{
    const std::size_t b = text.find_first_not_of(L" \t\r\n");
    return b == std::wstring::npos ? L"" : text.substr(b, text.find_last_not_of(L" \t\r\n") + 1 - b);
}

// False for a malformed setting.
bool ReadSetting(const std::wstring& setting, Table& table)
{
    for (const std::wstring& entry : Split(Trim(setting), L';'))
    {
        const std::vector<std::wstring> sides = Split(entry, L':');
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
            current.SetStringAttribute(kAttributes[input.Below(std::size(kAttributes))],
                                       Platform::FromUtf8(input.Bytes(input.Below(8))));
            break;
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
        case 6: // same-name siblings: a copy of the current node beside it
            if (path.size() > 1)
            {
                path[path.size() - 2].AddChild(current.Clone(input.Below(3), 0));
                ++nodes;
            }
            break;
        default:
            current.AddChild(newNode(input));
            break;
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
    // original, copy, depth left below them
    std::vector<std::tuple<VXNodePtr, VXNodePtr, std::uint64_t>> pending{{node, copy, depth}};
    auto star = table.find(L"*");
    while (!pending.empty())
    {
        auto [original, clone, depthLeft] = std::move(pending.back());
        pending.pop_back();
        auto own = table.find(original.GetType());
        for (auto entry : {own, star})
        {
            if (entry == table.end())
            {
                continue;
            }
            for (const std::wstring& name : entry->second)
            {
                if (original.HasAttribute(name))
                {
                    clone.SetStringAttribute(name, L"********");
                    masked = true;
                }
            }
        }
        if (depthLeft == 0)
        {
            continue;
        }
        const std::uint64_t count = original.GetChildCount();
        FUZZ_CHECK(clone.GetChildCount() == count);
        for (std::uint64_t i = 0; i < count; ++i)
        {
            pending.push_back({original.GetChild(i), clone.GetChild(i), depthLeft - 1});
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
    const std::string before = Fuzz::Serialize(tree.Get());

    Platform::SetEnvironmentVariable(L"GS_Logger_HiddenNodeTypeAttrs", &setting);
    ResetHiddenAttributesForTesting();
    Table table;
    const bool wellFormed = ReadSetting(setting, table);
    try
    {
        VXNodePtr result = MaskHiddenAttributes(tree, depth);
        FUZZ_CHECK(wellFormed);
        VXNodePtr expected = ExpectedCopy(tree, depth, table);
        // Nothing hidden: the original itself comes back.
        FUZZ_CHECK(expected.IsValid() ? result.Get() != tree.Get() &&
                                            Fuzz::Serialize(result.Get()) == Fuzz::Serialize(expected.Get())
                                      : result.Get() == tree.Get());
    }
    catch (const HRX& e)
    {
        FUZZ_CHECK(!wellFormed && e.Code() == E_INVALIDARG);
    }
    FUZZ_CHECK(Fuzz::Serialize(tree.Get()) == before);
    return 0;
}
