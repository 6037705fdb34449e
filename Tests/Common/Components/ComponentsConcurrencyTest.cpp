#include "TestComponents.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace Components;
using namespace ComponentsTests;

TEST(ComponentsConcurrency, CountsStayExactAcrossThreads)
{
    ASSERT_TRUE(GetAliveObjectsTracker().IsEnabled()) << "run with GS_Debug_EnableAliveObjectsTracking=1";
    CComponentsModuleObject& module = GetModuleObject();
    void* p = nullptr;
    ASSERT_EQ(CTestObject::CreateInstance(&IID_ITestAlpha, &p), S_OK);
    auto* shared = static_cast<ITestAlpha*>(p);

    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 8; ++t)
        {
            threads.emplace_back(
                [&, t]
                {
                    // Registrations come and go while others create through the registry.
                    CClassRegistration registration(CLSID_TestComponent, &CTestObject::Creator);
                    for (int i = 0; i < 2000; ++i)
                    {
                        void* beta = nullptr;
                        ASSERT_EQ(shared->QueryInterface(&IID_ITestBeta, &beta), S_OK);
                        static_cast<ITestBeta*>(beta)->Release();
                        void* own = nullptr;
                        if (module.CreateInstance(&CLSID_TestComponent, &IID_ITestBeta, &own) == S_OK)
                        {
                            static_cast<ITestBeta*>(own)->Release();
                        }
                        if (i % 16 == t)
                        {
                            CTestObject::CreateInstance(&IID_ITestNearMiss, &own);
                            module.LockModule();
                            module.UnlockModule();
                            module.DumpAliveObjects();
                        }
                    }
                });
        }
    }
    EXPECT_EQ(shared->Release(), 0u);
    EXPECT_EQ(CTestComponent::s_alive, 0);
    EXPECT_EQ(module.ObjectCount(), 0u);
    EXPECT_EQ(GetAliveObjectsTracker().Count(), 0u);
}
