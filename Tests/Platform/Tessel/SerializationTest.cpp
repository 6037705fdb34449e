#include "TesselTestSupport.h"

#include "Ravlin.h"

namespace
{
const char kExpected[] = "<nr>\r\n"
                         "<node name=\"Root\" type=\"Cfg\" path=\"\\Root\">\r\n"
                         "  <attr name=\"Str\" code=\"2\">a&lt;b &amp; &quot;c&quot;&#xD;&#xA;</attr>\r\n"
                         "  <attr name=\"N\" code=\"6\">-5</attr>\r\n"
                         "  <node name=\"C\" type=\"\"/>\r\n"
                         "  <node name=\"D\" type=\"T\">\r\n"
                         "    <attr name=\"E\" code=\"0\"/>\r\n"
                         "  </node>\r\n"
                         "</node>\r\n"
                         "</nr>\r\n";

Handle SampleTree()
{
    Handle root = NewNode(L"Root", L"Cfg");
    SetText(root.Get(), L"Str", u"a<b & \"c\"\r\n");
    std::int64_t n = -5;
    EXPECT_EQ(S_OK, VxnSetAttribute(root.Get(), L"N", VXN_ATTR_INT64, &n, 8));
    Handle c = NewNode(L"C");
    Handle d = NewNode(L"D", L"T");
    EXPECT_EQ(S_OK, VxnSetAttribute(d.Get(), L"E", VXN_ATTR_EMPTY, nullptr, 0));
    EXPECT_EQ(S_OK, VxnAddChild(root.Get(), c.Get()));
    EXPECT_EQ(S_OK, VxnAddChild(root.Get(), d.Get()));
    return root;
}

void Set(IVXNode* node, const wchar_t* name, std::uint16_t code, const std::string& bytes)
{
    ASSERT_EQ(S_OK, VxnSetAttribute(node, name, code, bytes.data(), bytes.size())) << code;
}

std::wstring ErrorDescription()
{
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || info == nullptr)
    {
        return L"";
    }
    BSTR text = nullptr;
    info->GetDescription(&text);
    std::wstring result = text != nullptr ? text : L"";
    SysFreeString(text);
    info->Release();
    return result;
}
} // namespace

TEST(TesselSerialization, WritesTheFramedTextToTheDepth)
{
    Handle root = SampleTree();
    EXPECT_EQ(kExpected, Serialize({root.Get()}));
    EXPECT_EQ("<nr>\r\n"
              "<node name=\"Root\" type=\"Cfg\" path=\"\\Root\">\r\n"
              "  <attr name=\"Str\" code=\"2\">a&lt;b &amp; &quot;c&quot;&#xD;&#xA;</attr>\r\n"
              "  <attr name=\"N\" code=\"6\">-5</attr>\r\n"
              "</node>\r\n"
              "</nr>\r\n",
              Serialize({root.Get()}, 0));
    EXPECT_EQ("<nr>\r\n</nr>\r\n", Serialize({}));
    Handle d = Child(root.Get(), L"D");
    EXPECT_EQ("<nr>\r\n<node name=\"C\" type=\"\" path=\"\\Root\\C\"/>\r\n"
              "<node name=\"D\" type=\"T\" path=\"\\Root\\D\">\r\n  <attr name=\"E\" "
              "code=\"0\"/>\r\n</node>\r\n</nr>\r\n",
              Serialize({Child(root.Get(), L"C").Get(), d.Get()}));
}

TEST(TesselSerialization, ParsingGivesBackEveryCodeAndCharacter)
{
    Handle root = NewNode(L"", L"");
    ASSERT_EQ(S_OK, VxnSetNodeName(root.Get(), VXN_NAME_FULL_PATH, L"\\Cfg\\<&\"\x7F\x1F\xE9\x20AC\x1F600"));
    Handle child = NewNode(L"", L"t\xD800");
    ASSERT_EQ(S_OK, VxnAddChild(root.Get(), child.Get()));
    Handle leaf = NewNode(L"leaf");
    ASSERT_EQ(S_OK, VxnAddChild(child.Get(), leaf.Get()));
    Set(root.Get(), L"empty", 0, "");
    Set(root.Get(), L"ascii", 1, std::string("a\0b\x7f\n<", 6) + '\0');
    Set(root.Get(), L"utf8", 1, "\xC3\xA9\xF0\x9F\x98\x80" + std::string(1, '\0'));
    Set(root.Get(), L"latin1", 1, std::string("\xE9\xC3", 2) + '\0');
    // UTF-16LE: "é", an emoji pair, a lone high surrogate, a tab, "&", terminator.
    Set(root.Get(), L"text", 2, std::string("\xE9\0\x3D\xD8\x00\xDE\x00\xD8\t\0&\0\0\0", 14));
    Set(root.Get(), L"emptyText", 2, std::string(2, '\0'));
    Set(root.Get(), L"i32", 3, std::string("\xFF\xFF\xFF\x80", 4));
    Set(root.Get(), L"i64", 6, std::string("\x01\0\0\0\0\0\0\x80", 8));
    Set(root.Get(), L"true", 7, std::string("\x01", 1));
    Set(root.Get(), L"odd bool", 7, std::string("\x02", 1));
    Set(root.Get(), L"guid", 13, "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F\x10");
    Set(root.Get(), L"list", 0x102, std::string("a\0\0\0b\0\0\0", 8));
    Set(root.Get(), L"emptyList", 0x102, "");
    Set(root.Get(), L"listOfEmpty", 0x102, std::string(2, '\0'));
    Set(child.Get(), L"ids", 0x105, std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x02\0\0\0\0\0\0\0", 16));
    Set(child.Get(), L"noIds", 0x105, "");
    Set(leaf.Get(), L"raw", 0x4242, std::string("\0\x01\xFE", 3));
    Set(leaf.Get(), L"rawEmpty", 9, "");

    std::string text = Serialize({root.Get()});
    Handle parsed = Parse(text);
    ASSERT_NE(nullptr, parsed.Get());
    EXPECT_EQ(text, Serialize({parsed.Get()}));
    EXPECT_EQ(Path(root.Get()), Path(parsed.Get()));
    EXPECT_EQ(Name(root.Get()), Name(parsed.Get()));
    for (const wchar_t* name : {L"ascii", L"utf8", L"latin1", L"text", L"i32", L"i64", L"odd bool", L"guid",
                                L"list", L"emptyList", L"listOfEmpty", L"emptyText"})
    {
        std::uint16_t before = 0, after = 0;
        EXPECT_EQ(Bytes(root.Get(), name, &before), Bytes(parsed.Get(), name, &after)) << name;
        EXPECT_EQ(before, after);
    }
    Handle parsedLeaf = Child(Child(parsed.Get(), L"").Get(), L"leaf");
    EXPECT_EQ(std::string("\0\x01\xFE", 3), Bytes(parsedLeaf.Get(), L"raw"));
    EXPECT_EQ(Path(leaf.Get()), Path(parsedLeaf.Get()));

    // Unframed text, comments, a declaration and single quotes are accepted too.
    Handle loose = Parse("\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- c -->\n<node name='x'>"
                         "<attr name='n' code='0x3'> 7 </attr><node/></node>\n");
    EXPECT_EQ(L"\\x", Path(loose.Get()));
    EXPECT_EQ(std::string("\x07\0\0\0", 4), Bytes(loose.Get(), L"n"));
    EXPECT_EQ(L"\\x\\", Path(Child(loose.Get(), L"").Get()));
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
        Handle node;
        std::uint64_t line = 0, column = 0;
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(HR_INVALID_DATA, VxnParseNodes(c.text.data(), c.text.size(), node.Out(), &line, &column))
            << c.text;
        EXPECT_EQ(nullptr, node.Get());
        EXPECT_EQ(c.line, line) << c.text;
        EXPECT_EQ(c.column, column) << c.text;
        std::wstring description = ErrorDescription();
        EXPECT_NE(std::wstring::npos, description.find(c.what)) << c.text;
        EXPECT_NE(std::wstring::npos, description.find(L"line " + std::to_wstring(c.line) + L", column " +
                                                       std::to_wstring(c.column)));
    }
    IVXNode* out = nullptr;
    EXPECT_EQ(E_POINTER, VxnParseNodes(kExpected, sizeof kExpected, nullptr, nullptr, nullptr));
    EXPECT_EQ(E_POINTER, VxnParseNodes(nullptr, 5, &out, nullptr, nullptr));
    EXPECT_EQ(E_INVALIDARG, VxnParseNodes(kExpected, 1ull << 40, &out, nullptr, nullptr));
}

TEST(TesselSerialization, WriterFailuresAndMisuseAreReported)
{
    Handle root = SampleTree();
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
    EXPECT_EQ(E_POINTER, VxnStartSerialization(1, 0, AppendChunk, &out, nullptr));
    ASSERT_EQ(S_OK, VxnStartSerialization(1, 0, AppendChunk, &out, &context));
    IVXNode* withNull[] = {root.Get(), nullptr};
    EXPECT_EQ(E_POINTER, VxnSerializeNodes(context, withNull, 2, 0));
    EXPECT_EQ(E_POINTER, VxnSerializeNodes(context, nullptr, 1, 0));
    EXPECT_EQ(E_POINTER, VxnSerializeNodes(nullptr, nodes, 1, 0));
    EXPECT_EQ(E_POINTER, VxnFinalizeSerialization(nullptr));
    EXPECT_EQ(S_OK, VxnSerializeNodes(context, nodes, 1, VXN_DEPTH_ALL));
    EXPECT_EQ(S_OK, VxnFinalizeSerialization(context));
    EXPECT_EQ(E_UNEXPECTED, VxnFinalizeSerialization(context));
    EXPECT_EQ(E_UNEXPECTED, VxnSerializeNodes(context, nodes, 1, 0));
    VxnCloseSerializationContext(context);
    EXPECT_EQ(kExpected, out);
}
