#include "TesselTestSupport.h"

#include "Ravlin.h"

using namespace TestSupport;

namespace
{
const std::string kHead = "<nr>\r\n"
                          "<node name=\"Root\" type=\"Cfg\" path=\"\\Root\">\r\n"
                          "  <attr name=\"Str\" code=\"2\">a&lt;b &amp; &quot;c&quot;&#xD;&#xA;</attr>\r\n"
                          "  <attr name=\"N\" code=\"6\">-5</attr>\r\n";
const std::string kExpected = kHead + "  <node name=\"C\" type=\"\"/>\r\n"
                                      "  <node name=\"D\" type=\"T\">\r\n"
                                      "    <attr name=\"E\" code=\"0\"/>\r\n"
                                      "  </node>\r\n"
                                      "</node>\r\n"
                                      "</nr>\r\n";

std::wstring ErrorDescription()
{
    IErrorInfo* info = nullptr;
    BSTR text = nullptr;
    if (GetErrorInfo(0, &info) == S_OK)
    {
        info->GetDescription(&text);
        info->Release();
    }
    std::wstring result = text != nullptr ? text : L"";
    SysFreeString(text);
    return result;
}
} // namespace

TEST(TesselSerialization, ParsingGivesBackEveryCodeAndCharacter)
{
    Vx root(L"", L"");
    root.Path(L"\\Cfg\\<&\"\x7F\x1F\xE9\x20AC\x1F600");
    Vx child(L"", L"t\xD800");
    Vx leaf(L"leaf");
    root.Add(child);
    child.Add(leaf);
    root.Set(L"empty", 0, "");
    root.Set(L"ascii", 1, std::string("a\0b\x7f\n<", 6) + '\0');
    root.Set(L"utf8", 1, "\xC3\xA9\xF0\x9F\x98\x80" + std::string(1, '\0'));
    root.Set(L"latin1", 1, std::string("\xE9\xC3", 2) + '\0');
    // UTF-16LE: "é", an emoji pair, a lone high surrogate, a tab, "&", terminator.
    root.Set(L"text", 2, std::string("\xE9\0\x3D\xD8\x00\xDE\x00\xD8\t\0&\0\0\0", 14));
    root.Set(L"emptyText", 2, std::string(2, '\0'));
    root.Set(L"i32", 3, std::string("\xFF\xFF\xFF\x80", 4));
    root.Set(L"i64", 6, std::string("\x01\0\0\0\0\0\0\x80", 8));
    root.Set(L"true", 7, std::string("\x01", 1));
    root.Set(L"odd bool", 7, std::string("\x02", 1));
    root.Set(L"guid", 13, "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F\x10");
    root.Set(L"list", 0x102, std::string("a\0\0\0b\0\0\0", 8));
    root.Set(L"emptyList", 0x102, "");
    root.Set(L"listOfEmpty", 0x102, std::string(2, '\0'));
    child.Set(L"ids", 0x105, std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x02\0\0\0\0\0\0\0", 16));
    child.Set(L"noIds", 0x105, "");
    leaf.Set(L"raw", 0x4242, std::string("\0\x01\xFE", 3));
    leaf.Set(L"rawEmpty", 9, "");

    std::string text = Serialize({root.Get()});
    Vx parsed = Parse(text);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(text, Serialize({parsed.Get()}));
    EXPECT_EQ(root.FullPath(), parsed.FullPath());
    for (const wchar_t* name : {L"ascii", L"utf8", L"latin1", L"text", L"i32", L"i64", L"odd bool", L"guid",
                                L"list", L"emptyList", L"listOfEmpty", L"emptyText"})
    {
        std::uint16_t before = 0, after = 0;
        EXPECT_EQ(root.Bytes(name, &before), parsed.Bytes(name, &after)) << name;
        EXPECT_EQ(before, after);
    }
    Vx parsedLeaf = parsed.Child(L"").Child(L"leaf");
    EXPECT_EQ(std::string("\0\x01\xFE", 3), parsedLeaf.Bytes(L"raw"));
    EXPECT_EQ(leaf.FullPath(), parsedLeaf.FullPath());
}

TEST(TesselSerialization, SyntaxErrorsSayWhereAndWhat)
{
    struct Case
    {
        std::string text;
        std::uint64_t line, column;
        const wchar_t* what;
    } cases[] = {
        {"", 1, 1, L"no node"},
        {"<nr>\r\n<node/>\r\n", 3, 1, L"missing </nr>"},
        {"<node name=\"a\">\r\n  <bogus/>\r\n</node>", 2, 3, L"expected <node>"},
        {"<node/><node/>", 1, 8, L"more than one top node"},
        {"<node name=\"\xC3\xA9\" path=\"\\x\"/>", 1, 16, L"path"},
        {"<node><attr name=\"x\" code=\"6\">12x</attr></node>", 1, 31, L"integer"},
        {"<node><attr name=\"x\" code=\"2\">&bad;</attr></node>", 1, 31, L"entity"},
        {"<node><attr name=\"x\" code=\"9\" encoding=\"hex\">ABC</attr></node>", 1, 46, L"hexadecimal"},
        {"<node><attr name=\"x\" code=\"70000\"/></node>", 1, 22, L"code"},
        {"<node><attr code=\"1\"/></node>", 1, 7, L"name"},
        {"<node name=\"\xFF\"/>", 1, 13, L"UTF-8"},
        {"<node><attr name=\"a\" code=\"0\"/><attr name=\"a\" code=\"0\"/></node>", 1, 38, L"duplicate"},
        {"<node><node path=\"\\a\"/></node>", 1, 13, L"unknown attribute"},
    };
    for (const Case& c : cases)
    {
        Vx node;
        std::uint64_t line = 0, column = 0;
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(HR_INVALID_DATA, VxnParseNodes(c.text.data(), c.text.size(), node.Out(), &line, &column))
            << c.text;
        EXPECT_EQ(nullptr, node.Get());
        EXPECT_EQ(c.line, line) << c.text;
        EXPECT_EQ(c.column, column) << c.text;
        EXPECT_NE(std::wstring::npos, ErrorDescription().find(c.what)) << c.text;
    }
    IVXNode* out = nullptr;
    EXPECT_EQ(E_POINTER, VxnParseNodes(kExpected.data(), kExpected.size(), nullptr, nullptr, nullptr));
    EXPECT_EQ(E_POINTER, VxnParseNodes(nullptr, 5, &out, nullptr, nullptr));
    EXPECT_EQ(E_INVALIDARG, VxnParseNodes(kExpected.data(), 1ull << 40, &out, nullptr, nullptr));
}

TEST(TesselSerialization, WritesTheFramedTextAndReportsFailuresAndMisuse)
{
    Vx root(L"Root", L"Cfg");
    root.Str(L"Str", L"a<b & \"c\"\r\n").I64(L"N", -5);
    root.Add(Vx(L"C")).Add(Vx(L"D", L"T").Set(L"E", VXN_ATTR_EMPTY, ""));
    EXPECT_EQ(kExpected, Serialize({root.Get()}));
    EXPECT_EQ(kHead + "</node>\r\n</nr>\r\n", Serialize({root.Get()}, 0));
    EXPECT_EQ("<nr>\r\n</nr>\r\n", Serialize({}));
    // Top nodes other than roots carry their full path.
    EXPECT_NE(std::string::npos, Serialize({root.Child(L"C").Get(), root.Child(L"D").Get()})
                                     .find("<node name=\"D\" type=\"T\" path=\"\\Root\\D\">"));

    IVXNode* nodes[] = {root.Get()};
    IVXSerializationContext* context = nullptr;
    int calls = 0;
    auto failing = [](const void*, std::uint64_t, void* counter) -> HRESULT
    {
        ++*static_cast<int*>(counter);
        return E_ABORT;
    };
    ASSERT_EQ(S_OK, VxnStartSerialization(VXN_SERIALIZATION_XML, 0, failing, &calls, &context));
    EXPECT_EQ(E_ABORT, VxnSerializeNodes(context, nodes, 1, VXN_DEPTH_ALL));
    EXPECT_EQ(E_ABORT, VxnFinalizeSerialization(context));
    EXPECT_EQ(1, calls);
    EXPECT_EQ(S_OK, VxnCloseSerializationContext(context));
    EXPECT_EQ(S_OK, VxnCloseSerializationContext(nullptr));

    std::string out;
    EXPECT_EQ(E_INVALIDARG, VxnStartSerialization(2, 0, AppendChunk, &out, &context));
    EXPECT_EQ(nullptr, context);
    EXPECT_EQ(E_POINTER, VxnStartSerialization(1, 0, nullptr, &out, &context));
    ASSERT_EQ(S_OK, VxnStartSerialization(1, 0, AppendChunk, &out, &context));
    IVXNode* withNull[] = {root.Get(), nullptr};
    EXPECT_EQ(E_POINTER, VxnSerializeNodes(context, withNull, 2, 0));
    EXPECT_EQ(E_POINTER, VxnSerializeNodes(nullptr, nodes, 1, 0));
    EXPECT_EQ(E_POINTER, VxnFinalizeSerialization(nullptr));
    EXPECT_EQ(S_OK, VxnSerializeNodes(context, nodes, 1, VXN_DEPTH_ALL));
    EXPECT_EQ(S_OK, VxnFinalizeSerialization(context));
    EXPECT_EQ(E_UNEXPECTED, VxnFinalizeSerialization(context));
    EXPECT_EQ(E_UNEXPECTED, VxnSerializeNodes(context, nodes, 1, 0));
    VxnCloseSerializationContext(context);
    EXPECT_EQ(kExpected, out);
}
