#include "Common/ErrorHandling/ErrorDescription.h"
#include "Common/ErrorHandling/ErrorMessages.h"
#include "Common/ErrorHandling/ErrorTestSupport.h"

#include <gtest/gtest.h>

using namespace ErrorHandling;
using Components::InterfacePtr;
using TestSupport::PublishedText;
using namespace std::string_literals;

namespace
{
HRX Caught(HRESULT code)
{
    try
    {
        RaiseHResult(code);
    }
    catch (const HRX& e)
    {
        return e;
    }
}

InterfacePtr<IErrorInfo> MakeErrorInfo(const wchar_t* description, const GUID& guid)
{
    InterfacePtr<ICreateErrorInfo> create;
    EXPECT_EQ(CreateErrorInfo(create.Out()), S_OK);
    create->SetDescription(description);
    create->SetGUID(&guid);
    InterfacePtr<IErrorInfo> info;
    EXPECT_EQ(create->QueryInterface(&IID_IErrorInfo, info.OutVoid()), S_OK);
    return info;
}

TErrorDescription Parsed(const wchar_t* text)
{
    TErrorDescription d{0xDEAD, L"untouched", L"untouched"};
    EXPECT_TRUE(ParseErrorDescription(text, d)) << text;
    return d;
}
} // namespace

TEST(ErrorDescriptionTest, TextFormRoundTripsAndParsingFollowsTheNumberRules)
{
    EXPECT_EQ(FormatErrorDescription({0xAB, L"m \r\n", L""}), L"0x000000AB m");
    EXPECT_EQ(FormatReturnAddress(reinterpret_cast<void*>(0xABCDEFull)), L"0x0000000000ABCDEF");
    TErrorDescription original{0x80070490, L"Element not found", L"0x1,0x2;0x3"};
    std::wstring text = FormatErrorDescription(original);
    EXPECT_EQ(text, L"0x80070490 Element not found [0x1,0x2;0x3]");
    TErrorDescription back = Parsed(text.c_str());
    EXPECT_EQ(std::tie(back.code, back.message, back.source),
              std::tie(original.code, original.message, original.source));

    TErrorDescription d = Parsed(L"0x80004005 Unspecified error.");
    EXPECT_EQ(std::tie(d.code, d.message, d.source),
              std::make_tuple(0x80004005u, L"Unspecified error."s, L""s));
    d = Parsed(L"12 x [y]");
    EXPECT_EQ(std::tie(d.code, d.message, d.source), std::make_tuple(12u, L"x"s, L"y"s));
    d = Parsed(L"010 a [b] c"); // octal; brackets not at the end are message
    EXPECT_EQ(std::tie(d.code, d.message, d.source), std::make_tuple(8u, L"a [b] c"s, L""s));
    d = Parsed(L"7x [y]"); // no blank after the number: nothing else is read
    EXPECT_EQ(std::tie(d.code, d.message, d.source), std::make_tuple(7u, L""s, L""s));
    EXPECT_EQ(Parsed(L"0x8007000D").message, L"");
    EXPECT_EQ(Parsed(L"1 ]").message, L"]");
    EXPECT_EQ(Parsed(L"0x123456789 big").code, 0xFFFFFFFFu);
    std::wstring huge(100000, L'm');
    EXPECT_EQ(Parsed((L"1 " + huge + L" [s]").c_str()).message, huge);

    for (const wchar_t* bad : {static_cast<const wchar_t*>(nullptr), L"", L"x 12", L" [1]"})
    {
        EXPECT_FALSE(ParseErrorDescription(bad, d));
    }
    EXPECT_EQ(d.code, 7u); // a failed parse leaves the description alone
}

TEST(ErrorDescriptionTest, BuildTakesReceivedDescriptionsOnlyWhenTheyFit)
{
    void* first[2] = {reinterpret_cast<void*>(0x10), reinterpret_cast<void*>(0x20)};
    void* second[1] = {reinterpret_cast<void*>(0x30)};

    TErrorDescription plain = BuildErrorDescription(E_POINTER, nullptr, first, 2);
    EXPECT_EQ(plain.message, L"Invalid pointer");
    EXPECT_EQ(plain.source, L"0x0000000000000010,0x0000000000000020");

    // A hop through a sibling module keeps code and message and chains the address groups.
    std::wstring firstText = FormatErrorDescription(BuildErrorDescription(E_FAIL, nullptr, first, 2));
    auto structured = MakeErrorInfo(firstText.c_str(), GUID_StructuredErrorDescription);
    TErrorDescription hop = BuildErrorDescription(E_FAIL, structured.Get(), second, 1);
    EXPECT_EQ(hop.message, L"Unspecified error");
    EXPECT_EQ(hop.source, L"0x0000000000000010,0x0000000000000020;0x0000000000000030");

    // Dropped: a structured description of another code, one that does not parse, an empty one.
    for (const wchar_t* stale : {L"0x80004003 Old failure [0x1]", L"not a number", L""})
    {
        auto info = MakeErrorInfo(stale, GUID_StructuredErrorDescription);
        TErrorDescription fresh = BuildErrorDescription(E_FAIL, info.Get(), nullptr, 0);
        EXPECT_EQ(std::tie(fresh.message, fresh.source), std::make_tuple(L"Unspecified error"s, L""s))
            << stale;
    }

    // A foreign description is kept as it is, even when it looks structured.
    auto foreign = MakeErrorInfo(L"0x80004005 Disk on fire [0x1]", IID_IErrorInfo);
    TErrorDescription kept = BuildErrorDescription(E_FAIL, foreign.Get(), second, 1);
    EXPECT_EQ(kept.message, L"0x80004005 Disk on fire [0x1]");
    EXPECT_EQ(kept.source, L"0x0000000000000030");
}

TEST(ErrorDescriptionTest, PublishHandsTheDescriptionToTheThread)
{
    // A success leaves a pending error info alone.
    auto marker = MakeErrorInfo(L"marker", IID_IErrorInfo);
    SetErrorInfo(0, marker.Get());
    EXPECT_EQ(PublishErrorInfo(HRX()), S_OK);
    EXPECT_EQ(PublishedText(), L"marker");

    HRX failure = Caught(HR_NOT_FOUND);
    std::wstring expected = FormatErrorDescription(BuildErrorDescription(failure));
    EXPECT_EQ(expected.rfind(L"0x80070490 Element not found [0x", 0), 0u);
    EXPECT_EQ(PublishErrorInfo(failure), HR_NOT_FOUND);
    InterfacePtr<IErrorInfo> published;
    GetErrorInfo(0, published.Out());
    ASSERT_TRUE(published);
    GUID guid{};
    EXPECT_EQ(published->GetGUID(&guid), S_OK);
    EXPECT_EQ(guid, GUID_StructuredErrorDescription);

    // The next module up picks it up with its own failure of the same code and keeps the chain.
    SetErrorInfo(0, published.Get());
    HRX relayed = Caught(HR_NOT_FOUND);
    Logging::LogMessage message;
    message << relayed;
    EXPECT_EQ(message.Text().rfind(expected.substr(0, expected.size() - 1) + L";0x", 0), 0u);
}
