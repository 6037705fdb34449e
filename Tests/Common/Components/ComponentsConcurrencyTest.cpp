#include "Common/Components/ComponentObject.h"
#include "Common/Components/DbgAliveObjectsTracker.h"
#include "Common/Components/ModuleObject.h"
#include "TestComponents.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace Components;
using namespace ComponentsTests;

namespace
{
TEST(ComponentsConcurrency, CountsStayExactAcrossThreads)
{
    ASSERT_TRUE(GetAliveObjectsTracker().IsEnabled()) << "run with GS_Debug_EnableAliveObjectsTracking=1";
    IComponentsModule* module = nullptr;
    ASSERT_EQ(GetModuleObject().QueryInterface(&IID_IComponentsModule, reinterpret_cast<void**>(&module)),
              S_OK);
    CClassRegistration registration(CLSID_TestComponent, &CTestObject::Creator);

    void* p = nullptr;
    ASSERT_EQ(CTestObject::CreateInstance(&IID_ITestAlpha, &p), S_OK);
    auto* shared = static_cast<ITestAlpha*>(p);

    constexpr int kThreads = 8;
    constexpr int kRounds = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back(
            [&, t]
            {
                for (int i = 0; i < kRounds; ++i)
                {
                    // The shared object: references taken and dropped through different interfaces.
                    void* beta = nullptr;
                    if (shared->QueryInterface(&IID_ITestBeta, &beta) == S_OK)
                    {
                        shared->AddRef();
                        static_cast<ITestBeta*>(beta)->Release();
                        shared->Release();
                    }
                    // Objects of this thread, created through the registry and by hand.
                    void* own = nullptr;
                    if (module->CreateInstance(&CLSID_TestComponent, &IID_ITestBeta, &own) == S_OK)
                    {
                        static_cast<ITestBeta*>(own)->Release();
                    }
                    if (i % 16 == t % 16)
                    {
                        void* missing = nullptr;
                        CTestObject::CreateInstance(&IID_ITestAlphaNearMiss, &missing);
                        module->LockModule();
                        module->UnlockModule();
                    }
                    if (i % 64 == 0)
                    {
                        module->DumpAliveObjects();
                    }
                }
            });
    }
    for (auto& thread : threads)
    {
        thread.join();
    }

    EXPECT_EQ(GetModuleObject().ObjectCount(), 1u);
    EXPECT_EQ(GetAliveObjectsTracker().Count(), 1u);
    EXPECT_EQ(shared->Release(), 0u);
    EXPECT_EQ(CTestComponent::s_alive, 0);
    EXPECT_EQ(GetModuleObject().ObjectCount(), 0u);
    EXPECT_EQ(GetAliveObjectsTracker().Count(), 0u);
}
} // namespace
