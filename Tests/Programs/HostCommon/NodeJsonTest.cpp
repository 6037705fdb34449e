// The JSON node form: typed values both ways, values only "raw" carries, paths, refusals, depth.
#include "Programs/HostCommon/HostText.h"
#include "Programs/HostCommon/NodeJson.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
using HostCommon::NodeHandle;

HRESULT Append(const void* data, std::uint64_t size, void* context)
{
    static_cast<std::string*>(context)->append(static_cast<const char*>(data), size);
    return S_OK;
}

std::string TextForm(IVXNode* node)
{
    std::string text;
    IVXSerializationContext* context = nullptr;
    EXPECT_EQ(VxnStartSerialization(VXN_SERIALIZATION_XML, 0, Append, &text, &context), S_OK);
    EXPECT_EQ(VxnSerializeNodes(context, &node, 1, VXN_DEPTH_ALL), S_OK);
    EXPECT_EQ(VxnFinalizeSerialization(context), S_OK);
    VxnCloseSerializationContext(context);
    return text;
}

std::string Render(IVXNode* node)
{
    std::string json;
    EXPECT_EQ(HostCommon::RenderNodeJson(node, json), S_OK);
    return json;
}

NodeHandle Parse(const std::string& json)
{
    NodeHandle node;
    std::string detail;
    EXPECT_EQ(HostCommon::ParseNodeJson(json, node, detail), S_OK) << detail;
    return node;
}

// Parsing what was rendered gives the same node.
void ExpectRoundTrip(IVXNode* node)
{
    NodeHandle again = Parse(Render(node));
    ASSERT_TRUE(again);
    EXPECT_EQ(TextForm(again.Get()), TextForm(node));
}

TEST(NodeJson, TypedValuesRenderInOrderAndParseBack)
{
    const std::string json =
        R"({"name":"A","path":"\\Settings\\A","type":"T","attributes":[{"name":"e","type":"empty","value":null},)"
        R"({"name":"a","type":"astring","value":"x\u00ff"},{"name":"s","type":"string","value":"h\u00e9\ud83d\ude00\n"},)"
        R"({"name":"i","type":"int32","value":-2147483648},{"name":"l","type":"int64","value":9223372036854775807},)"
        R"({"name":"b","type":"bool","value":true},{"name":"g","type":"guid","value":"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}"},)"
        R"({"name":"ss","type":"string[]","value":["","x"]},{"name":"ll","type":"int64[]","value":[1,-1]},)"
        R"({"name":"r","type":"raw","code":16,"value":"00ff"}],"children":[)"
        R"({"name":"C","path":"\\Settings\\A\\C","type":"","attributes":[],"children":[]}]})";
    NodeHandle node = Parse(json);
    ASSERT_TRUE(node);
    // Rendered text carries characters as UTF-8 rather than escapes.
    std::string expected = json;
    expected.replace(expected.find(R"(x\u00ff)"), 7, "x\xC3\xBF");
    expected.replace(expected.find(R"(h\u00e9\ud83d\ude00)"), 19, "h\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(Render(node.Get()), expected);
    std::uint8_t astring[3] = {};
    std::uint64_t size = sizeof(astring);
    ASSERT_EQ(VxnGetAttribute(node.Get(), L"a", nullptr, astring, &size, nullptr), S_OK);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(astring[1], 0xFF); // one byte per code point
}

TEST(NodeJson, ValuesOnlyRawCarriesSurviveByteForByte)
{
    NodeHandle node;
    ASSERT_EQ(VxnCreateNode(L"N", L"", node.Out()), S_OK);
    const std::uint8_t loneSurrogate[] = {0x00, 0xD8, 0, 0};
    const std::uint8_t two = 2;
    const std::uint8_t odd[] = {1, 2, 3};
    ASSERT_EQ(VxnSetAttribute(node.Get(), L"lone", VXN_ATTR_STRING, loneSurrogate, 4), S_OK);
    ASSERT_EQ(VxnSetAttribute(node.Get(), L"bool", VXN_ATTR_BOOL, &two, 1), S_OK);
    ASSERT_EQ(VxnSetAttribute(node.Get(), L"other", 0x10, odd, 3), S_OK);
    ASSERT_EQ(VxnSetAttribute(node.Get(), L"items", VXN_ATTR_STRING_ARRAY, loneSurrogate, 4), S_OK);
    const std::string json = Render(node.Get());
    EXPECT_NE(json.find(R"({"name":"bool","type":"raw","code":7,"value":"02"})"), std::string::npos) << json;
    EXPECT_NE(json.find(R"({"name":"other","type":"raw","code":16,"value":"010203"})"), std::string::npos);
    ExpectRoundTrip(node.Get());
}

TEST(NodeJson, TheTopPathPlacesTheNode)
{
    // Without a path the node is detached below the root; a name may hold a backslash.
    EXPECT_EQ(Render(Parse(R"({"name":"a\\b"})").Get()),
              R"({"name":"a\\b","path":"\\a\\b","type":"","attributes":[],"children":[]})");
    ExpectRoundTrip(Parse(R"({"name":"a\\b","path":"\\X\\a\\b"})").Get());
    // A path alone names the node; children's paths are ignored.
    NodeHandle node = Parse(R"({"path":"\\X\\Y","children":[{"name":"Z","path":"\\Elsewhere"}]})");
    EXPECT_EQ(Render(node.Get()),
              R"({"name":"Y","path":"\\X\\Y","type":"","attributes":[],"children":[)"
              R"({"name":"Z","path":"\\X\\Y\\Z","type":"","attributes":[],"children":[]}]})");
    EXPECT_EQ(Render(Parse(R"({"path":"\\"})").Get()),
              R"({"name":"","path":"\\","type":"","attributes":[],"children":[]})");
}

TEST(NodeJson, MalformedAndRefusedDocumentsGiveInvalidArgWithAReason)
{
    const std::vector<std::string> refused = {
        "",
        "{",
        "[]",
        R"({"name":5})",
        R"({"name":"A","extra":1})",
        R"({"name":"a\u0000b"})",
        R"({"name":"A","path":"\\X\\B"})",
        R"({"children":[1]})",
        R"({"attributes":[{"type":"int64","value":1}]})",
        R"({"attributes":[{"name":"","type":"int64","value":1}]})",
        R"({"attributes":[{"name":"x","type":"float","value":1.5}]})",
        R"({"attributes":[{"name":"x","type":"int64"}]})",
        R"({"attributes":[{"name":"x","type":"int64","value":9223372036854775808}]})",
        R"({"attributes":[{"name":"x","type":"int32","value":2147483648}]})",
        R"({"attributes":[{"name":"x","type":"bool","value":1}]})",
        R"({"attributes":[{"name":"x","type":"astring","value":"\u0100"}]})",
        R"({"attributes":[{"name":"x","type":"guid","value":"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8FZ}"}]})",
        R"({"attributes":[{"name":"x","type":"int64[]","value":[1,"2"]}]})",
        R"({"attributes":[{"name":"x","type":"empty","value":0}]})",
        R"({"attributes":[{"name":"x","type":"raw","value":"0"}]})",
        R"({"attributes":[{"name":"x","type":"raw","code":65536,"value":"00"}]})",
        R"({"attributes":[{"name":"x","type":"int64","code":6,"value":1}]})",
        "{\"name\":\"" + std::string(40000, 'n') + "\"}",
        "{\"name\":\"\xff\"}",
    };
    for (const std::string& text : refused)
    {
        NodeHandle node;
        std::string detail;
        EXPECT_EQ(HostCommon::ParseNodeJson(text, node, detail), E_INVALIDARG) << text.substr(0, 80);
        EXPECT_FALSE(node);
        EXPECT_FALSE(detail.empty()) << text.substr(0, 80);
    }
    std::string out;
    EXPECT_EQ(HostCommon::RenderNodeJson(nullptr, out), E_POINTER);
}

TEST(NodeJson, NestingIsBoundedWhenParsedAndUnboundedWhenRendered)
{
    auto nested = [](int levels)
    {
        std::string text;
        for (int i = 0; i < levels; ++i)
        {
            text += R"({"name":"n","children":[)";
        }
        for (int i = 0; i < levels; ++i)
        {
            text += "]}";
        }
        return text;
    };
    NodeHandle node;
    std::string detail;
    EXPECT_EQ(HostCommon::ParseNodeJson(nested(512), node, detail), S_OK) << detail;
    EXPECT_EQ(HostCommon::ParseNodeJson(nested(513), node, detail), E_INVALIDARG);

    // A chain far deeper than any stack would allow for a recursive walk.
    NodeHandle top;
    ASSERT_EQ(VxnCreateNode(L"c", L"", top.Out()), S_OK);
    NodeHandle last;
    ASSERT_EQ(VxnDuplicateNodeHandle(top.Get(), last.Out()), S_OK);
    for (int i = 0; i < 5000; ++i)
    {
        NodeHandle child;
        ASSERT_EQ(VxnCreateNode(L"c", L"", child.Out()), S_OK);
        ASSERT_EQ(VxnAddChild(last.Get(), child.Get()), S_OK);
        last = std::move(child);
    }
    last.Reset();
    std::string json;
    ASSERT_EQ(HostCommon::RenderNodeJson(top.Get(), json), S_OK);
    EXPECT_EQ(json.substr(json.size() - 6), "]}]}]}");
}

TEST(HostText, TypesAndMessages)
{
    std::uint32_t type = 0;
    EXPECT_TRUE(HostCommon::ParseType("pentrel", type));
    EXPECT_EQ(type, 8u);
    EXPECT_TRUE(HostCommon::ParseTypes("Quorl,8|16", type));
    EXPECT_EQ(type, 28u);
    for (const char* bad : {"", "Pentrel,", "4294967296", "-1", "0x8", "Nonsense"})
    {
        EXPECT_FALSE(HostCommon::ParseTypes(bad, type)) << bad;
    }
    EXPECT_EQ(HostCommon::MessageText(E_INVALIDARG), "The parameter is incorrect");
    EXPECT_EQ(HostCommon::MessageText(HR_RSM_ERROR_1), "The reporting settings are not available");
    EXPECT_EQ(HostCommon::MessageText(MakeHr(0x80071234)), "<no description>");
    // One replacement per ill-formed sequence (an overlong NUL, an encoded surrogate).
    EXPECT_EQ(HostCommon::FromUtf8("a\xC0\x80\xED\xA0\x80z"), L"a\uFFFD\uFFFDz");
}
} // namespace
