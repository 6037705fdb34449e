#include "Ravlin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace
{
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
        *ppv = this;
        AddRef();
        return S_OK;
    }
};

TEST(RavlinConcurrency, NamesAndErrorSlotsUnderContention)
{
    CountedThing things[4];
    constexpr int kThreads = 8;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back(
            [&, t]
            {
                std::wstring name = L"Ravlin.Concurrency." + std::to_wstring(t % 2);
                for (int i = 0; i < 2000; ++i)
                {
                    CountedThing& thing = things[(t + i) % 4];
                    if (i % 3 == 0)
                    {
                        RLRegisterNamedInstance(name.c_str(), &thing);
                    }
                    else if (i % 7 == 0)
                    {
                        RLRegisterNamedInstance(name.c_str(), nullptr);
                    }
                    void* p = nullptr;
                    if (RLGetNamedInstance(name.c_str(), 0, &IID_IComponentBase, &p) == S_OK)
                    {
                        static_cast<IComponentBase*>(p)->Release();
                    }
                    ICreateErrorInfo* create = nullptr;
                    if (CreateErrorInfo(&create) == S_OK)
                    {
                        create->SetDescription(L"busy");
                        IErrorInfo* info = nullptr;
                        create->QueryInterface(&IID_IErrorInfo, reinterpret_cast<void**>(&info));
                        create->Release();
                        SetErrorInfo(0, info);
                        info->Release();
                        IErrorInfo* back = nullptr;
                        EXPECT_EQ(GetErrorInfo(0, &back), S_OK);
                        EXPECT_EQ(back, info);
                        back->Release();
                    }
                }
            });
    }
    for (auto& thread : threads)
    {
        thread.join();
    }
    RLRegisterNamedInstance(L"Ravlin.Concurrency.0", nullptr);
    RLRegisterNamedInstance(L"Ravlin.Concurrency.1", nullptr);
    for (auto& thing : things)
    {
        EXPECT_EQ(thing.refs, 1u);
    }
}
} // namespace
