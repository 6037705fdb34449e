#include "Ravlin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

namespace
{
inline constexpr GUID IID_ITestNamed = RSM_GUID(0x7E570001, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10);

// A counted object that answers the base interface and one test id.
class CountedThing final : public IComponentBase
{
public:
    std::atomic<std::uint32_t> refs{1};
    std::uint32_t AddRef() override { return ++refs; }
    std::uint32_t Release() override { return --refs; }
    HRESULT QueryInterface(const GUID* iid, void** ppv) override
    {
        if (iid == nullptr || ppv == nullptr)
        {
            return E_INVALIDARG;
        }
        if (*iid != IID_IComponentBase && *iid != IID_ITestNamed)
        {
            return E_NOINTERFACE;
        }
        *ppv = this;
        AddRef();
        return S_OK;
    }
};

// An error-info object of someone else's making; only its count matters.
class ForeignErrorInfo final : public IErrorInfo
{
public:
    std::atomic<std::uint32_t> refs{1};
    std::uint32_t AddRef() override { return ++refs; }
    std::uint32_t Release() override { return --refs; }
    HRESULT QueryInterface(const GUID*, void**) override { return E_NOINTERFACE; }
    HRESULT GetGUID(GUID*) override { return E_NOTIMPL; }
    HRESULT GetSource(BSTR*) override { return E_NOTIMPL; }
    HRESULT GetDescription(BSTR*) override { return E_NOTIMPL; }
    HRESULT GetHelpFile(BSTR*) override { return E_NOTIMPL; }
    HRESULT GetHelpContext(std::uint32_t*) override { return E_NOTIMPL; }
};

TEST(NamedInstances, PublishLookUpReplaceWithdraw)
{
    CountedThing first;
    CountedThing second;
    const wchar_t* name = L"Ravlin.Test.Named";
    void* p = reinterpret_cast<void*>(0x1);

    EXPECT_EQ(RLGetNamedInstance(name, 0, &IID_ITestNamed, &p), HR_NOT_FOUND);
    EXPECT_EQ(RLRegisterNamedInstance(name, nullptr), HR_NOT_FOUND);

    ASSERT_EQ(RLRegisterNamedInstance(name, &first), S_OK);
    EXPECT_EQ(first.refs, 2u);
    ASSERT_EQ(RLGetNamedInstance(name, 0, &IID_ITestNamed, &p), S_OK);
    EXPECT_EQ(p, &first);
    EXPECT_EQ(first.refs, 3u); // exactly one reference for the caller
    first.Release();

    void* untouched = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(RLGetNamedInstance(name, 0, &IID_IErrorInfo, &untouched), E_NOINTERFACE);
    EXPECT_EQ(RLGetNamedInstance(L"ravlin.test.named", 0, &IID_ITestNamed, &untouched), HR_NOT_FOUND);
    EXPECT_EQ(untouched, reinterpret_cast<void*>(0x1));
    EXPECT_EQ(first.refs, 2u);

    // Replacing releases the old instance; the same instance again keeps one reference.
    ASSERT_EQ(RLRegisterNamedInstance(name, &second), S_OK);
    EXPECT_EQ(first.refs, 1u);
    ASSERT_EQ(RLRegisterNamedInstance(name, &second), S_OK);
    EXPECT_EQ(second.refs, 2u);
    ASSERT_EQ(RLGetNamedInstance(name, 0, &IID_IComponentBase, &p), S_OK);
    EXPECT_EQ(p, &second);
    second.Release();

    EXPECT_EQ(RLRegisterNamedInstance(name, nullptr), S_OK);
    EXPECT_EQ(second.refs, 1u);
    EXPECT_EQ(RLGetNamedInstance(name, 0, &IID_ITestNamed, &p), HR_NOT_FOUND);
}

TEST(NamedInstances, BadArguments)
{
    CountedThing thing;
    void* p = nullptr;
    std::wstring longest(1024, L'n');
    std::wstring tooLong(1025, L'n');
    EXPECT_EQ(RLRegisterNamedInstance(nullptr, &thing), E_INVALIDARG);
    EXPECT_EQ(RLRegisterNamedInstance(L"", &thing), E_INVALIDARG);
    EXPECT_EQ(RLRegisterNamedInstance(tooLong.c_str(), &thing), E_INVALIDARG);
    EXPECT_EQ(thing.refs, 1u);
    ASSERT_EQ(RLRegisterNamedInstance(longest.c_str(), &thing), S_OK);

    EXPECT_EQ(RLGetNamedInstance(longest.c_str(), 1, &IID_ITestNamed, &p), E_INVALIDARG);
    EXPECT_EQ(RLGetNamedInstance(longest.c_str(), 0, nullptr, &p), E_INVALIDARG);
    EXPECT_EQ(RLGetNamedInstance(longest.c_str(), 0, &IID_ITestNamed, nullptr), E_POINTER);
    EXPECT_EQ(RLGetNamedInstance(nullptr, 0, &IID_ITestNamed, &p), E_INVALIDARG);
    EXPECT_EQ(RLGetNamedInstance(L"", 0, &IID_ITestNamed, &p), E_INVALIDARG);
    EXPECT_EQ(RLGetNamedInstance(tooLong.c_str(), 0, &IID_ITestNamed, &p), E_INVALIDARG);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(thing.refs, 2u);
    EXPECT_EQ(RLRegisterNamedInstance(longest.c_str(), nullptr), S_OK);
    EXPECT_EQ(thing.refs, 1u);
}

TEST(Bstr, LengthPrefixTerminatorAndLimits)
{
    BSTR text = SysAllocString(L"abc");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(SysStringLen(text), 3u);
    EXPECT_EQ(std::wstring(text), L"abc");
    SysFreeString(text);

    // Embedded zeros count; the copy is terminated after length characters.
    const wchar_t withZero[] = {L'a', L'\0', L'b', L'c'};
    text = SysAllocStringLen(withZero, 3);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(SysStringLen(text), 3u);
    EXPECT_EQ(std::wstring(text, 3), std::wstring(withZero, 3));
    EXPECT_EQ(text[3], L'\0');
    SysFreeString(text);

    text = SysAllocStringLen(nullptr, 4); // room for four characters, zero-filled
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(SysStringLen(text), 4u);
    EXPECT_EQ(std::wcslen(text), 0u);
    SysFreeString(text);

    text = SysAllocString(L"");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(SysStringLen(text), 0u);
    SysFreeString(text);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFFFu), nullptr);
    EXPECT_EQ(SysAllocStringLen(L"x", 0x7FFFFFFFu), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
}

TEST(ErrorInfo, CreateFillReadAndBadArguments)
{
    EXPECT_EQ(CreateErrorInfo(nullptr), E_POINTER);
    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    const GUID id = RSM_GUID(0x64107A4E, 0x9383, 0x4398, 0x97, 0xFF, 0xEE, 0x55, 0xF0, 0xDA, 0x7F, 0xDF);
    EXPECT_EQ(create->SetDescription(L"0x80004005 Unspecified error"), S_OK);
    EXPECT_EQ(create->SetGUID(&id), S_OK);
    EXPECT_EQ(create->SetGUID(nullptr), E_POINTER);
    EXPECT_EQ(create->SetSource(nullptr), S_OK);
    EXPECT_EQ(create->SetHelpContext(9), S_OK);

    IErrorInfo* info = nullptr;
    ASSERT_EQ(create->QueryInterface(&IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
    void* none = nullptr;
    EXPECT_EQ(create->QueryInterface(&IID_ITestNamed, &none), E_NOINTERFACE);
    EXPECT_EQ(create->QueryInterface(nullptr, &none), E_INVALIDARG);
    create->Release();

    BSTR description = nullptr;
    ASSERT_EQ(info->GetDescription(&description), S_OK);
    EXPECT_EQ(std::wstring(description), L"0x80004005 Unspecified error");
    SysFreeString(description);
    GUID read{};
    ASSERT_EQ(info->GetGUID(&read), S_OK);
    EXPECT_EQ(read, id);
    BSTR source = nullptr;
    ASSERT_EQ(info->GetSource(&source), S_OK);
    EXPECT_EQ(SysStringLen(source), 0u);
    SysFreeString(source);
    std::uint32_t context = 0;
    EXPECT_EQ(info->GetHelpContext(&context), S_OK);
    EXPECT_EQ(context, 9u);
    EXPECT_EQ(info->GetDescription(nullptr), E_POINTER);
    EXPECT_EQ(info->GetGUID(nullptr), E_POINTER);
    EXPECT_EQ(info->GetHelpContext(nullptr), E_POINTER);
    EXPECT_EQ(info->Release(), 0u);
}

TEST(ErrorInfo, ThreadSlotHandsOverAndClears)
{
    ForeignErrorInfo info;
    IErrorInfo* taken = reinterpret_cast<IErrorInfo*>(0x1);
    EXPECT_EQ(GetErrorInfo(0, &taken), S_FALSE);
    EXPECT_EQ(taken, nullptr);

    EXPECT_EQ(SetErrorInfo(1, &info), E_INVALIDARG);
    EXPECT_EQ(info.refs, 1u);
    ASSERT_EQ(SetErrorInfo(0, &info), S_OK);
    EXPECT_EQ(info.refs, 2u);

    // Another thread has a slot of its own.
    std::thread(
        []
        {
            IErrorInfo* other = nullptr;
            EXPECT_EQ(GetErrorInfo(0, &other), S_FALSE);
        })
        .join();

    EXPECT_EQ(GetErrorInfo(1, &taken), E_INVALIDARG);
    EXPECT_EQ(GetErrorInfo(0, nullptr), E_POINTER);
    ASSERT_EQ(GetErrorInfo(0, &taken), S_OK);
    EXPECT_EQ(taken, &info);
    EXPECT_EQ(info.refs, 2u); // the slot's reference went to the caller
    taken->Release();
    EXPECT_EQ(GetErrorInfo(0, &taken), S_FALSE);

    // Replacing and clearing release what the slot held.
    ForeignErrorInfo next;
    ASSERT_EQ(SetErrorInfo(0, &info), S_OK);
    ASSERT_EQ(SetErrorInfo(0, &next), S_OK);
    EXPECT_EQ(info.refs, 1u);
    ASSERT_EQ(SetErrorInfo(0, nullptr), S_OK);
    EXPECT_EQ(next.refs, 1u);

    // A thread that ends with something in its slot releases it.
    std::thread([&] { SetErrorInfo(0, &info); }).join();
    EXPECT_EQ(info.refs, 1u);
}
} // namespace
