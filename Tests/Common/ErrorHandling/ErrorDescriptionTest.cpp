#include "Common/Components/InterfacePtr.h"
#include "Common/ErrorHandling/ErrorDescription.h"
#include "Common/ErrorHandling/ErrorMessages.h"
#include "Common/Logging/Log.h"

#include <gtest/gtest.h>

using namespace ErrorHandling;
using Components::InterfacePtr;

namespace
{
HRX Catch(HRESULT code)
{
    try
    {
        HRX hr;
        hr = code;
    }
    catch (const HRX& e)
    {
        return e;
    }
    return HRX();
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

InterfacePtr<IErrorInfo> TakeThreadErrorInfo()
{
    InterfacePtr<IErrorInfo> info;
    GetErrorInfo(0, info.Out());
    return info;
}

std::wstring Description(IErrorInfo* info)
{
    BSTR text = nullptr;
    EXPECT_EQ(info->GetDescription(&text), S_OK);
    std::wstring result(text, SysStringLen(text));
    SysFreeString(text);
    return result;
}
} // namespace

TEST(ErrorDescriptionTest, ParseAcceptsTheTextFormAndRejectsOtherText)
{
    TErrorDescription d;
    ASSERT_TRUE(ParseErrorDescription(L"0x80004005 Unspecified error.", d));
    EXPECT_EQ(d.code, 0x80004005u);
    EXPECT_EQ(d.message, L"Unspecified error.");
    EXPECT_EQ(d.source, L"");

    ASSERT_TRUE(ParseErrorDescription(L"0x8007000D", d));
    EXPECT_EQ(d.code, 0x8007000Du);
    EXPECT_EQ(d.message, L"");

    ASSERT_TRUE(ParseErrorDescription(L"12 x [y]", d));
    EXPECT_EQ(d.code, 12u);
    EXPECT_EQ(d.message, L"x");
    EXPECT_EQ(d.source, L"y");

    // Octal, a number glued to text, a lone bracket, an over-long number.
    ASSERT_TRUE(ParseErrorDescription(L"010 a [b] c", d));
    EXPECT_EQ(d.code, 8u);
    EXPECT_EQ(d.message, L"a [b] c");
    ASSERT_TRUE(ParseErrorDescription(L"7x [y]", d));
    EXPECT_EQ(d.code, 7u);
    EXPECT_EQ(d.message, L"");
    EXPECT_EQ(d.source, L"");
    ASSERT_TRUE(ParseErrorDescription(L"1 ]", d));
    EXPECT_EQ(d.message, L"]");
    ASSERT_TRUE(ParseErrorDescription(L"0x123456789 big", d));
    EXPECT_EQ(d.code, 0xFFFFFFFFu);

    d = TErrorDescription{5, L"kept", L"kept"};
    EXPECT_FALSE(ParseErrorDescription(nullptr, d));
    EXPECT_FALSE(ParseErrorDescription(L"", d));
    EXPECT_FALSE(ParseErrorDescription(L"x 12", d));
    EXPECT_EQ(d.code, 5u);
    EXPECT_EQ(d.message, L"kept");

    std::wstring huge(100000, L'm');
    ASSERT_TRUE(ParseErrorDescription((L"1 " + huge + L" [s]").c_str(), d));
    EXPECT_EQ(d.message, huge);
    EXPECT_EQ(d.source, L"s");
}

TEST(ErrorDescriptionTest, FormatWritesCodeMessageAndSource)
{
    EXPECT_EQ(FormatErrorDescription({0x8000FFFF, L"Catastrophic failure", L""}),
              L"0x8000FFFF Catastrophic failure");
    EXPECT_EQ(FormatErrorDescription({0x1, L"m  \r\n", L""}), L"0x00000001 m");
    EXPECT_EQ(FormatErrorDescription({0xAB, L"m", L"0x1,0x2;0x3"}), L"0x000000AB m [0x1,0x2;0x3]");
    EXPECT_EQ(FormatReturnAddress(reinterpret_cast<void*>(0xABCDEFull)), L"0x0000000000ABCDEF");
    EXPECT_EQ(FormatReturnAddress(nullptr), L"0x0000000000000000");

    TErrorDescription back;
    TErrorDescription original{0x80070490, L"Element not found", L"0x1;0x2"};
    ASSERT_TRUE(ParseErrorDescription(FormatErrorDescription(original).c_str(), back));
    EXPECT_EQ(back.code, original.code);
    EXPECT_EQ(back.message, original.message);
    EXPECT_EQ(back.source, original.source);
}

TEST(ErrorDescriptionTest, BuildTakesReceivedDescriptionsOnlyWhenTheyFit)
{
    void* first[2] = {reinterpret_cast<void*>(0x10), reinterpret_cast<void*>(0x20)};
    void* second[1] = {reinterpret_cast<void*>(0x30)};

    // No error info: the message comes from the message texts.
    TErrorDescription plain = BuildErrorDescription(E_POINTER, nullptr, first, 2);
    EXPECT_EQ(plain.code, static_cast<std::uint32_t>(E_POINTER));
    EXPECT_EQ(plain.message, MessageText(E_POINTER));
    EXPECT_EQ(plain.source, L"0x0000000000000010,0x0000000000000020");

    // A hop through a sibling module: same code and message, the address groups chained.
    std::wstring firstText = FormatErrorDescription(BuildErrorDescription(E_FAIL, nullptr, first, 2));
    auto structured = MakeErrorInfo(firstText.c_str(), GUID_StructuredErrorDescription);
    TErrorDescription hop = BuildErrorDescription(E_FAIL, structured.Get(), second, 1);
    EXPECT_EQ(hop.message, MessageText(E_FAIL));
    EXPECT_EQ(hop.source, L"0x0000000000000010,0x0000000000000020;0x0000000000000030");

    // A structured description of another code is dropped.
    auto stale = MakeErrorInfo(L"0x80004003 Old failure [0x1]", GUID_StructuredErrorDescription);
    TErrorDescription fresh = BuildErrorDescription(E_FAIL, stale.Get(), nullptr, 0);
    EXPECT_EQ(fresh.message, MessageText(E_FAIL));
    EXPECT_EQ(fresh.source, L"");

    // A foreign description is kept as it is, even when it looks structured.
    auto foreign = MakeErrorInfo(L"0x80004005 Disk on fire [0x1]", IID_IErrorInfo);
    TErrorDescription kept = BuildErrorDescription(E_FAIL, foreign.Get(), second, 1);
    EXPECT_EQ(kept.message, L"0x80004005 Disk on fire [0x1]");
    EXPECT_EQ(kept.source, L"0x0000000000000030");

    // A structured description that does not parse and an empty one both fall back to the texts.
    auto broken = MakeErrorInfo(L"not a number", GUID_StructuredErrorDescription);
    EXPECT_EQ(BuildErrorDescription(E_FAIL, broken.Get(), nullptr, 0).message, MessageText(E_FAIL));
    auto empty = MakeErrorInfo(nullptr, IID_IErrorInfo);
    EXPECT_EQ(BuildErrorDescription(E_FAIL, empty.Get(), nullptr, 0).message, MessageText(E_FAIL));
}

TEST(ErrorDescriptionTest, PublishHandsTheDescriptionToTheThread)
{
    // A success leaves a pending error info alone.
    auto marker = MakeErrorInfo(L"marker", IID_IErrorInfo);
    SetErrorInfo(0, marker.Get());
    HRX success;
    EXPECT_EQ(PublishErrorInfo(success), S_OK);
    auto stillThere = TakeThreadErrorInfo();
    EXPECT_EQ(stillThere.Get(), marker.Get());

    HRX failure = Catch(HR_NOT_FOUND);
    std::wstring expected = FormatErrorDescription(BuildErrorDescription(failure));
    EXPECT_EQ(PublishErrorInfo(failure), HR_NOT_FOUND);
    auto published = TakeThreadErrorInfo();
    ASSERT_TRUE(published);
    GUID guid{};
    EXPECT_EQ(published->GetGUID(&guid), S_OK);
    EXPECT_EQ(guid, GUID_StructuredErrorDescription);
    EXPECT_EQ(Description(published.Get()), expected);
    EXPECT_EQ(expected.rfind(L"0x80070490 Element not found [0x", 0), 0u);

    // The next module up picks the error info up with its own failure and keeps the chain.
    SetErrorInfo(0, published.Get());
    HRX relayed = Catch(HR_NOT_FOUND);
    TErrorDescription chained = BuildErrorDescription(relayed);
    TErrorDescription original;
    ASSERT_TRUE(ParseErrorDescription(expected.c_str(), original));
    EXPECT_EQ(chained.message, original.message);
    EXPECT_EQ(chained.source.rfind(original.source + L";", 0), 0u);
}

TEST(ErrorDescriptionTest, LogStreamWritesTheTextForm)
{
    HRX failure = Catch(E_INVALIDARG);
    Logging::LogMessage message;
    message << L"X failed: " << failure;
    EXPECT_EQ(message.Text(), L"X failed: " + FormatErrorDescription(BuildErrorDescription(failure)));
}
