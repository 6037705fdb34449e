#include "Tessel.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace
{
IVXNode* MakeNode(const std::wstring& name)
{
    IVXNode* node = nullptr;
    VxnCreateNode(name.c_str(), L"Record", &node);
    return node;
}

void AddOwned(IVXNode* parent, IVXNode* child)
{
    VxnAddChild(parent, child);
    VxnCloseNodeHandle(child);
}

void SetText(IVXNode* node, const wchar_t* name, const std::u16string& text)
{
    VxnSetAttribute(node, name, VXN_ATTR_STRING, text.c_str(), (text.size() + 1) * 2);
}

// Root, 100 branches, 99 leaves each: 10,000 nodes with a text and a number on each.
IVXNode* MakeTree()
{
    IVXNode* root = MakeNode(L"Root");
    for (int b = 0; b < 100; ++b)
    {
        IVXNode* branch = MakeNode(L"Branch" + std::to_wstring(b));
        for (int l = 0; l < 99; ++l)
        {
            IVXNode* leaf = MakeNode(L"Leaf" + std::to_wstring(l));
            SetText(leaf, L"Server", u"db-server-01.example.local");
            std::int64_t value = l;
            VxnSetAttribute(leaf, L"Port", VXN_ATTR_INT64, &value, 8);
            AddOwned(branch, leaf);
        }
        AddOwned(root, branch);
    }
    return root;
}

HRESULT Append(const void* data, std::uint64_t size, void* context)
{
    static_cast<std::string*>(context)->append(static_cast<const char*>(data), size);
    return S_OK;
}

std::string SerializeTree(IVXNode* root)
{
    std::string out;
    IVXSerializationContext* context = nullptr;
    VxnStartSerialization(VXN_SERIALIZATION_XML, 0x101, Append, &out, &context);
    VxnSerializeNodes(context, &root, 1, VXN_DEPTH_ALL);
    VxnFinalizeSerialization(context);
    VxnCloseSerializationContext(context);
    return out;
}
} // namespace

static void BM_ChildLookupByName(benchmark::State& state)
{
    const auto count = static_cast<int>(state.range(0));
    IVXNode* root = MakeNode(L"Root");
    std::vector<std::wstring> names;
    for (int i = 0; i < count; ++i)
    {
        names.push_back(L"Child" + std::to_wstring(i));
        AddOwned(root, MakeNode(names.back()));
    }
    // A fixed pseudo-random order, so the larger list is not walked in cache-friendly order. The
    // queried names sit in one compact table, as a caller's own names would be at hand.
    struct Query
    {
        wchar_t text[16];
    };
    std::vector<Query> order(4096);
    for (std::uint32_t i = 0, x = 12345; i < order.size(); ++i)
    {
        x = x * 1664525u + 1013904223u;
        const std::wstring& name = names[x % names.size()];
        name.copy(order[i].text, name.size());
        order[i].text[name.size()] = L'\0';
    }
    std::size_t next = 0;
    for (auto _ : state)
    {
        IVXNode* child = nullptr;
        VxnGetChildByName(root, order[next++ & 4095].text, &child);
        VxnCloseNodeHandle(child);
    }
    VxnCloseNodeHandle(root);
}
BENCHMARK(BM_ChildLookupByName)->Arg(100)->Arg(100000);

static void BM_RemoveFirstChild(benchmark::State& state)
{
    const int count = 100000;
    for (auto _ : state)
    {
        state.PauseTiming();
        IVXNode* root = MakeNode(L"Root");
        for (int i = 0; i < count; ++i)
        {
            AddOwned(root, MakeNode(L"Child" + std::to_wstring(i)));
        }
        state.ResumeTiming();
        for (int i = 0; i < count; ++i)
        {
            VxnRemoveChildByIndex(root, 0);
        }
        VxnCloseNodeHandle(root);
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_RemoveFirstChild)->Unit(benchmark::kMillisecond);

static void BM_DeepClone(benchmark::State& state)
{
    IVXNode* root = MakeTree();
    for (auto _ : state)
    {
        IVXNode* clone = nullptr;
        VxnCloneNode(root, VXN_DEPTH_ALL, 0, &clone);
        VxnCloseNodeHandle(clone);
    }
    VxnCloseNodeHandle(root);
}
BENCHMARK(BM_DeepClone)->Unit(benchmark::kMicrosecond);

static void BM_SetGetText(benchmark::State& state)
{
    IVXNode* node = MakeNode(L"Node");
    SetText(node, L"First", u"1");
    SetText(node, L"Second", u"2");
    const std::u16string value = u"Data Source=db01;Initial Catalog=Reports";
    wchar_t buffer[128];
    for (auto _ : state)
    {
        SetText(node, L"ConnectionString", value);
        std::uint64_t size = sizeof buffer;
        const std::uint16_t expected = VXN_ATTR_STRING;
        VxnGetAttribute(node, L"ConnectionString", &expected, buffer, &size, nullptr);
        benchmark::DoNotOptimize(buffer);
    }
    VxnCloseNodeHandle(node);
}
BENCHMARK(BM_SetGetText);

static void BM_SetGetInt64(benchmark::State& state)
{
    IVXNode* node = MakeNode(L"Node");
    SetText(node, L"First", u"1");
    SetText(node, L"Second", u"2");
    std::int64_t value = 0;
    for (auto _ : state)
    {
        ++value;
        VxnSetAttribute(node, L"Counter", VXN_ATTR_INT64, &value, 8);
        std::int64_t read = 0;
        std::uint64_t size = 8;
        const std::uint16_t expected = VXN_ATTR_INT64;
        VxnGetAttribute(node, L"Counter", &expected, &read, &size, nullptr);
        benchmark::DoNotOptimize(read);
    }
    VxnCloseNodeHandle(node);
}
BENCHMARK(BM_SetGetInt64);

static void BM_Serialize(benchmark::State& state)
{
    IVXNode* root = MakeTree();
    std::size_t bytes = 0;
    for (auto _ : state)
    {
        bytes = SerializeTree(root).size();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    VxnCloseNodeHandle(root);
}
BENCHMARK(BM_Serialize)->Unit(benchmark::kMillisecond);

static void BM_Parse(benchmark::State& state)
{
    IVXNode* root = MakeTree();
    const std::string text = SerializeTree(root);
    VxnCloseNodeHandle(root);
    for (auto _ : state)
    {
        IVXNode* parsed = nullptr;
        VxnParseNodes(text.data(), text.size(), &parsed, nullptr, nullptr);
        VxnCloseNodeHandle(parsed);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Parse)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
