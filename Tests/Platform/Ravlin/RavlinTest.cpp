#include "Ravlin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace
{
inline constexpr GUID IID_ITestNamed = RSM_GUID(0x7E570001, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10);

// Counted stand-in for a framework object or an error-info object of someone else's making.
class Counted final : public IErrorInfo
{
public:
    std::atomic<std::uint32_t> refs{1};
    std::uint32_t AddRef() override { return ++refs; }
    std::uint32_t Release() override { return --refs; }
    HRESULT QueryInterface(const GUID* iid, void** ppv) override
    {
        if (*iid != IID_IComponentBase && *iid != IID_ITestNamed)
        {
            return E_NOINTERFACE;
        }
        *ppv = this;
        AddRef();
        return S_OK;
    }
    HRESULT GetGUID(GUID*) override { return E_NOTIMPL; }
    HRESULT GetSource(BSTR*) override { return E_NOTIMPL; }
    HRESULT GetDescription(BSTR*) override { return E_NOTIMPL; }
    HRESULT GetHelpFile(BSTR*) override { return E_NOTIMPL; }
    HRESULT GetHelpContext(std::uint32_t*) override { return E_NOTIMPL; }
};

TEST(NamedInstances, PublishLookUpReplaceWithdrawAndBadArguments)
{
    Counted first;
    Counted second;
    const std::wstring name(1024, L'n'); // the longest name accepted
    const std::wstring tooLong = name + L"n";
    void* p = nullptr;
    EXPECT_EQ(RLGetNamedInstance(name.c_str(), 0, &IID_ITestNamed, &p), HR_NOT_FOUND);
    EXPECT_EQ(RLRegisterNamedInstance(name.c_str(), nullptr), HR_NOT_FOUND);
    ASSERT_EQ(RLRegisterNamedInstance(name.c_str(), &first), S_OK);
    ASSERT_EQ(RLGetNamedInstance(name.c_str(), 0, &IID_ITestNamed, &p), S_OK);
    EXPECT_EQ(p, static_cast<IComponentBase*>(&first));
    EXPECT_EQ(first.Release(), 2u); // one reference for the registration, one was the caller's

    void* untouched = nullptr;
    EXPECT_EQ(RLGetNamedInstance(name.c_str(), 0, &IID_IErrorInfo, &untouched), E_NOINTERFACE);
    EXPECT_EQ(RLGetNamedInstance(name.c_str(), 1, &IID_ITestNamed, &untouched), E_INVALIDARG);
    EXPECT_EQ(RLGetNamedInstance(name.c_str(), 0, &IID_ITestNamed, nullptr), E_POINTER);
    for (const wchar_t* bad : {static_cast<const wchar_t*>(nullptr), L"", tooLong.c_str()})
    {
        EXPECT_EQ(RLGetNamedInstance(bad, 0, &IID_ITestNamed, &untouched), E_INVALIDARG);
        EXPECT_EQ(RLRegisterNamedInstance(bad, &second), E_INVALIDARG);
    }
    EXPECT_EQ(untouched, nullptr);
    EXPECT_EQ(second.refs, 1u);

    // Replacing releases the old instance; publishing the same one again keeps one reference.
    ASSERT_EQ(RLRegisterNamedInstance(name.c_str(), &second), S_OK);
    ASSERT_EQ(RLRegisterNamedInstance(name.c_str(), &second), S_OK);
    EXPECT_EQ(first.refs, 1u);
    EXPECT_EQ(second.refs, 2u);
    EXPECT_EQ(RLRegisterNamedInstance(name.c_str(), nullptr), S_OK);
    EXPECT_EQ(second.refs, 1u);
}

TEST(Bstr, LengthPrefixTerminatorAndLimits)
{
    const wchar_t withZero[] = {L'a', L'\0', L'b', L'c'};
    BSTR text = SysAllocStringLen(withZero, 3);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(SysStringLen(text), 3u);
    EXPECT_EQ(std::wstring(text, 4), std::wstring(withZero, 3) + L'\0');
    SysFreeString(text);
    EXPECT_EQ(SysAllocStringLen(L"x", 0x7FFFFFFFu), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
}

TEST(ErrorInfo, ObjectAndPerThreadSlot)
{
    ICreateErrorInfo* create = nullptr;
    EXPECT_EQ(CreateErrorInfo(nullptr), E_POINTER);
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    // What it holds is read back by the error description tests.
    EXPECT_EQ(create->SetGUID(nullptr), E_POINTER);
    IErrorInfo* info = nullptr;
    ASSERT_EQ(create->QueryInterface(&IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
    create->Release();
    EXPECT_EQ(info->GetDescription(nullptr), E_POINTER);

    // The slot takes a reference and hands it to the one who takes the object out.
    IErrorInfo* taken = info;
    EXPECT_EQ(GetErrorInfo(0, &taken), S_FALSE);
    EXPECT_EQ(taken, nullptr);
    EXPECT_EQ(SetErrorInfo(1, info), E_INVALIDARG);
    ASSERT_EQ(SetErrorInfo(0, info), S_OK);
    std::thread([&] { EXPECT_EQ(GetErrorInfo(0, &taken), S_FALSE); }).join(); // the slot is per thread
    EXPECT_EQ(GetErrorInfo(1, &taken), E_INVALIDARG);
    EXPECT_EQ(GetErrorInfo(0, nullptr), E_POINTER);
    ASSERT_EQ(GetErrorInfo(0, &taken), S_OK);
    EXPECT_EQ(taken, info);
    EXPECT_EQ(taken->Release(), 1u);
    EXPECT_EQ(info->Release(), 0u);

    // Replacing, clearing and the end of a thread release what the slot held.
    Counted foreign;
    ASSERT_EQ(SetErrorInfo(0, &foreign), S_OK);
    ASSERT_EQ(SetErrorInfo(0, nullptr), S_OK);
    std::thread([&] { SetErrorInfo(0, &foreign); }).join();
    EXPECT_EQ(foreign.refs, 1u);
}

TEST(RavlinConcurrency, NamesAndErrorSlotsUnderContention)
{
    Counted things[4];
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 8; ++t)
        {
            threads.emplace_back(
                [&, t]
                {
                    std::wstring name = L"Ravlin.Concurrency." + std::to_wstring(t % 2);
                    for (int i = 0; i < 2000; ++i)
                    {
                        if (i % 3 == 0 || i % 7 == 0) // publish, or now and then withdraw
                        {
                            RLRegisterNamedInstance(name.c_str(),
                                                    i % 3 == 0 ? &things[(t + i) % 4] : nullptr);
                        }
                        void* p = nullptr;
                        if (RLGetNamedInstance(name.c_str(), 0, &IID_IComponentBase, &p) == S_OK)
                        {
                            static_cast<IComponentBase*>(p)->Release();
                        }
                        SetErrorInfo(0, &things[t % 4]);
                        IErrorInfo* back = nullptr;
                        EXPECT_EQ(GetErrorInfo(0, &back), S_OK);
                        EXPECT_EQ(back, &things[t % 4]);
                        back->Release();
                    }
                });
        }
    }
    RLRegisterNamedInstance(L"Ravlin.Concurrency.0", nullptr);
    RLRegisterNamedInstance(L"Ravlin.Concurrency.1", nullptr);
    for (auto& thing : things)
    {
        EXPECT_EQ(thing.refs, 1u);
    }
}
} // namespace
