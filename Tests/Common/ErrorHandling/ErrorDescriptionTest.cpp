#include "Common/ErrorHandling/Boundary.h"
#include "Common/ErrorHandling/ErrorDescription.h"
#include "Common/ErrorHandling/ErrorMessages.h"
#include "Common/ErrorHandling/ErrorTestSupport.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

using namespace ErrorHandling;
using Components::InterfacePtr;
using namespace TestSupport;
using namespace std::string_literals;

TEST(ErrorDescriptionTest, TextFormRoundTripsAndParsingFollowsTheNumberRules)
{
    EXPECT_EQ(FormatErrorDescription({0xAB, L"m \r\n", L""}), L"0x000000AB m");
    EXPECT_EQ(FormatReturnAddress(reinterpret_cast<void*>(0xABCDEFull)), L"0x0000000000ABCDEF");
    EXPECT_EQ(FormatErrorDescription({0x80070490, L"Element not found", L"0x1,0x2;0x3"}),
              L"0x80070490 Element not found [0x1,0x2;0x3]");

    const std::wstring huge(100000, L'm');
    const std::pair<std::wstring, TErrorDescription> cases[] = {
        {L"0x80070490 Element not found [0x1,0x2;0x3]", {0x80070490u, L"Element not found", L"0x1,0x2;0x3"}},
        {L"12 x [y]", {12, L"x", L"y"}},
        {L"010 a [b] c", {8, L"a [b] c", L""}}, // octal; brackets not at the end are message
        {L"7x [y]", {7, L"", L""}},             // no blank after the number: nothing else is read
        {L"0x8007000D", {0x8007000Du, L"", L""}},
        {L"0x123456789 big", {0xFFFFFFFFu, L"big", L""}},
        {L"1 " + huge + L" [s]", {1, huge, L"s"}},
    };
    TErrorDescription d;
    for (const auto& [text, e] : cases)
    {
        d = {0xDEAD, L"untouched", L"untouched"};
        ASSERT_TRUE(ParseErrorDescription(text.c_str(), d)) << text.substr(0, 40);
        EXPECT_EQ(std::tie(d.code, d.message, d.source), std::tie(e.code, e.message, e.source))
            << text.substr(0, 40);
    }
    for (const wchar_t* bad : {static_cast<const wchar_t*>(nullptr), L"", L"x 12", L" [1]"})
    {
        EXPECT_FALSE(ParseErrorDescription(bad, d));
    }
    EXPECT_EQ(d.code, 1u); // a failed parse leaves the description alone
}

TEST(ErrorDescriptionTest, BuildTakesReceivedDescriptionsOnlyWhenTheyFit)
{
    void* first[2] = {reinterpret_cast<void*>(0x10), reinterpret_cast<void*>(0x20)};
    void* second[1] = {reinterpret_cast<void*>(0x30)};

    TErrorDescription plain = BuildErrorDescription(E_POINTER, nullptr, first, 2);
    EXPECT_EQ(std::tie(plain.message, plain.source),
              std::make_tuple(L"Invalid pointer"s, L"0x0000000000000010,0x0000000000000020"s));

    // A hop through a sibling module keeps code and message and chains the address groups.
    std::wstring firstText = FormatErrorDescription(BuildErrorDescription(E_FAIL, nullptr, first, 2));
    auto structured = MakeErrorInfo(firstText.c_str(), GUID_StructuredErrorDescription);
    TErrorDescription hop = BuildErrorDescription(E_FAIL, structured.Get(), second, 1);
    EXPECT_EQ(
        std::tie(hop.message, hop.source),
        std::make_tuple(L"Unspecified error"s, L"0x0000000000000010,0x0000000000000020;0x0000000000000030"s));

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
    EXPECT_EQ(std::tie(kept.message, kept.source),
              std::make_tuple(L"0x80004005 Disk on fire [0x1]"s, L"0x0000000000000030"s));
}

TEST(ErrorDescriptionTest, PublishHandsTheDescriptionToTheThread)
{
    // A success leaves a pending error info alone.
    auto marker = MakeErrorInfo(L"marker");
    SetErrorInfo(0, marker.Get());
    EXPECT_EQ(PublishErrorInfo(HRX()), S_OK);
    EXPECT_EQ(PublishedText(), L"marker");

    HRX failure = Caught([] { RaiseHResult(HR_NOT_FOUND); });
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
    HRX relayed = Caught([] { RaiseHResult(HR_NOT_FOUND); });
    Logging::LogMessage message;
    message << relayed;
    EXPECT_EQ(message.Text().rfind(expected.substr(0, expected.size() - 1) + L";0x", 0), 0u);
}

TEST(BoundaryTest, FailuresBecomeOneErrLineAndPublishedErrorInfoExceptInWorkers)
{
    const wchar_t name[] = L"Test::CThing::Operation";
    LogCapture log;
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(RSM_BOUNDARY(name, 10, [] {}), S_OK);
    EXPECT_EQ(RSM_BOUNDARY(name, 10, [] { return S_FALSE; }), S_FALSE);
    EXPECT_EQ(PublishedText(), L"");
    EXPECT_EQ(RSM_BOUNDARY(name, 332, [] { RaiseHResult(HR_NOT_FOUND); }), HR_NOT_FOUND);
    const std::wstring published = PublishedText();
    EXPECT_EQ(published.rfind(L"0x80070490 Element not found [0x", 0), 0u);
    // Foreign exceptions never cross.
    EXPECT_EQ(RSM_BOUNDARY(name, 1, [] { throw std::bad_alloc(); }), E_OUTOFMEMORY);
    EXPECT_EQ(PublishedText().rfind(L"0x8007000E ", 0), 0u);
    EXPECT_EQ(RSM_BOUNDARY(name, 2, [] { throw std::length_error("too long"); }), E_UNEXPECTED);
    EXPECT_EQ(PublishedText().rfind(L"0x8000FFFF Catastrophic failure", 0), 0u);
    EXPECT_EQ(RSM_BOUNDARY(nullptr, 3, [] { throw 42; }), E_UNEXPECTED);
    EXPECT_NE(PublishedText(), L"");
    // Workers only log.
    EXPECT_EQ(RSM_WORKER(L"Executing Work", 86, [] { RaiseHResult(E_ABORT); }), E_ABORT);
    EXPECT_EQ(RSM_WORKER(L"Executing Work", 86, [] { throw std::runtime_error("x"); }), E_UNEXPECTED);
    EXPECT_EQ(PublishedText(), L"");

    auto errors = log.Find(Logging::Err, L""); // none for the successes
    ASSERT_EQ(errors.size(), 6u);
    EXPECT_EQ(errors[0].message, std::wstring(name) + L" failed: " + published);
    EXPECT_EQ(errors[0].line, 332u);
    EXPECT_NE(errors[0].file.find("ErrorDescriptionTest.cpp"), std::string::npos);
    EXPECT_EQ(errors[1].message.rfind(std::wstring(name) + L" failed: 0x8007000E", 0), 0u);
    EXPECT_EQ(errors[3].message.rfind(L"(null) failed: 0x8000FFFF", 0), 0u);
    EXPECT_EQ(errors[4].message.rfind(L"Executing Work failed: 0x80004004 Operation aborted [0x", 0), 0u);
}
