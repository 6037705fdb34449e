#include "Common/Components/DbgAliveObjectsTracker.h"
#include "Common/Components/NamedInstance.h"
#include "Common/ErrorHandling/ErrorTestSupport.h"
#include "Common/Logging/LogTestSupport.h"
#include "TestComponents.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <set>

using namespace Components;
using namespace ComponentsTests;

namespace
{
void* const kSentinel = reinterpret_cast<void*>(0x5A5A);

void ExpectNothingAlive()
{
    EXPECT_EQ(CTestComponent::s_alive, 0);
    EXPECT_EQ(GetModuleObject().ObjectCount(), 0u);
    EXPECT_EQ(GetAliveObjectsTracker().Count(), 0u);
}

TEST(ModuleObject, ClassRegistryFollowsRegistrationLifetime)
{
    CComponentsModuleObject& module = GetModuleObject();
    void* p = kSentinel;
    {
        CClassRegistration registration(CLSID_TestComponent, &CTestObject::Creator);
        CClassRegistration ignored(CLSID_TestComponent, [](const GUID*, void**) { return E_FAIL; });
        ASSERT_EQ(module.CreateInstance(&CLSID_TestComponent, &IID_ITestBeta, &p), S_OK);
        EXPECT_EQ(GetModuleObject().ObjectCount(), 1u);
        EXPECT_EQ(static_cast<ITestBeta*>(p)->Release(), 0u);
        p = kSentinel;
        EXPECT_EQ(module.CreateInstance(&CLSID_TestComponent, &IID_ITestNearMiss, &p), E_NOINTERFACE);
    }
    // Gone with its registration (the module host test sees unknown and null classes).
    EXPECT_EQ(module.CreateInstance(&CLSID_TestComponent, &IID_ITestAlpha, &p), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(p, kSentinel);
    ExpectNothingAlive();
}

TEST(ComponentObject, OneCountBehindEveryInterfaceAndNothingLeftByFailures)
{
    void* p = nullptr;
    ASSERT_EQ(CTestObject::CreateInstance(&IID_ITestAlpha, &p), S_OK);
    auto* alpha = static_cast<ITestAlpha*>(p);
    ITestBeta* beta = nullptr;
    ASSERT_EQ(alpha->QueryInterface(&IID_ITestBeta, reinterpret_cast<void**>(&beta)), S_OK);
    EXPECT_EQ(beta->Untouched(), 0);
    IComponentBase* primaryA = nullptr;
    IComponentBase* primaryB = nullptr;
    ASSERT_EQ(alpha->QueryInterface(&IID_IComponentBase, reinterpret_cast<void**>(&primaryA)), S_OK);
    ASSERT_EQ(beta->QueryInterface(&IID_IComponentBase, reinterpret_cast<void**>(&primaryB)), S_OK);
    EXPECT_EQ(primaryA, primaryB);
    EXPECT_EQ((std::set<void*>{alpha, beta, primaryA}.size()), 3u);

    EXPECT_EQ(primaryB->AddRef(), 5u);
    EXPECT_EQ(beta->Release(), 4u);
    EXPECT_EQ(primaryA->Release(), 3u);
    EXPECT_EQ(primaryB->Release(), 2u);

    void* untouched = kSentinel;
    EXPECT_EQ(alpha->QueryInterface(&IID_ITestNearMiss, &untouched), E_NOINTERFACE);
    EXPECT_EQ(alpha->QueryInterface(&IID_ITestBeta, nullptr), E_INVALIDARG);
    EXPECT_EQ(untouched, kSentinel);
    EXPECT_EQ(GetAliveObjectsTracker().Count(), 1u);
    EXPECT_EQ(beta->Release(), 1u);
    EXPECT_EQ(alpha->Release(), 0u);
    ExpectNothingAlive();

    // Failed creations leave nothing alive.
    p = kSentinel;
    CTestComponent::s_finalConstructResult = HR_NOT_FOUND;
    EXPECT_EQ(CTestObject::CreateInstance(&IID_ITestAlpha, &p), HR_NOT_FOUND);
    CTestComponent::s_finalConstructResult = S_OK;
    CTestComponent::s_constructorRaises = HR_INVALID_DATA;
    EXPECT_EQ(CTestObject::CreateInstance(&IID_ITestAlpha, &p), HR_INVALID_DATA);
    CTestComponent::s_constructorRaises = S_OK;
    EXPECT_EQ(CTestObject::CreateInstance(&IID_ITestNearMiss, &p), E_NOINTERFACE);
    EXPECT_EQ(CTestObject::CreateInstance(&IID_ITestAlpha, nullptr), E_INVALIDARG);
    EXPECT_EQ(CTestObject::CreateObject(nullptr), E_POINTER);
    EXPECT_EQ(p, kSentinel);
    ExpectNothingAlive();

    CTestObject* object = nullptr;
    ASSERT_EQ(CTestObject::CreateObject(&object, 42), S_OK);
    EXPECT_EQ(object->Value(), 42);
    EXPECT_EQ(object->PrimaryInterface()->Release(), 0u);
    ExpectNothingAlive();
}

TEST(ComponentObject, TagNamesTheWrappedClass)
{
    EXPECT_EQ(CTestObject::Tag(),
              "CComponentObject<class ComponentsTests::CTestComponent>::CComponentObject");
    EXPECT_EQ(Detail::MakeObjectTag("void f() [with T = A::B<C<D; E> >; X = int]"),
              "CComponentObject<class A::B<C<D; E> >>::CComponentObject");
}

TEST(AliveObjectsTracker, SwitchesComeFromTheDebugSettingsAndDumpsGoInAddressOrder)
{
    TestSupport::ScopedEnv enable("GS_Debug_EnableAliveObjectsTracking", "0");
    DbgAliveObjectsTracker off;
    EXPECT_FALSE(off.IsEnabled());
    off.Register(&off, "tag");
    EXPECT_EQ(off.Count(), 0u);

    enable.Set("0x10");
    DbgAliveObjectsTracker on;
    EXPECT_TRUE(on.IsEnabled());

    // The dump lists the records in address order.
    TestSupport::MemoryLogger logger;
    Logging::LoggerRegistration registration(&logger);
    DbgAliveObjectsTracker tracker(true, 0);
    tracker.Dump();
    EXPECT_TRUE(logger.lines.empty());

    int objects[3] = {};
    tracker.Register(&objects[1], "Second");
    tracker.Register(&objects[0], "stale");
    tracker.Register(&objects[0], "First\xE9"); // a reused address replaces its record
    tracker.Register(&objects[2], nullptr);
    tracker.Unregister(&objects[2]);
    tracker.Dump();
    const auto& lines = logger.lines;
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find(L"| WARN"), std::wstring::npos);
    EXPECT_NE(lines[0].find(L":59 "), std::wstring::npos);
    EXPECT_NE(lines[0].find(L"Alive component objects: 2"), std::wstring::npos);
    const std::wstring expected[] = {L"ObjTag='First\u00E9' Ptr=" + FormatAddress(&objects[0]) + L" EIPs=",
                                     L"ObjTag='Second' Ptr=" + FormatAddress(&objects[1]) + L" EIPs="};
    for (int i = 0; i < 2; ++i)
    {
        EXPECT_NE(lines[1 + i].find(L":72 "), std::wstring::npos);
        std::wstring message = TestSupport::MessageColumn(lines[1 + i]);
        ASSERT_EQ(message.rfind(expected[i], 0), 0u) << i;
        // Four return addresses: "0x" and 16 hexadecimal digits each, separated by ";".
        std::wstring shape = message.substr(expected[i].size());
        std::replace_if(
            shape.begin(), shape.end(), [](wchar_t c) { return c && std::wcschr(L"0123456789ABCDEF", c); },
            L'h');
        const std::wstring one = L"hx" + std::wstring(16, L'h');
        EXPECT_EQ(shape, one + L";" + one + L";" + one + L";" + one);
    }
}

TEST(NamedInstance, LookupRaisesFailuresAndHandsOverOneReference)
{
    CTestObject* thing = nullptr;
    ASSERT_EQ(CTestObject::CreateObject(&thing, 7), S_OK);
    ASSERT_EQ(RLRegisterNamedInstance(L"Components.Test", thing->PrimaryInterface()), S_OK);
    InterfacePtr<ITestAlpha> alpha;
    GetNamedInstance(L"Components.Test", IID_ITestAlpha, alpha);
    ASSERT_TRUE(alpha);
    EXPECT_EQ(alpha->Value(), 7);
    EXPECT_EQ(thing->AddRef(), 4u); // creation, registration, lookup, this one
    thing->Release();

    auto codeOf = [](const wchar_t* name, const GUID& iid, InterfacePtr<ITestAlpha>& out)
    { return TestSupport::CodeOf([&] { GetNamedInstance(name, iid, out); }); };
    InterfacePtr<ITestAlpha> missing(alpha);
    EXPECT_EQ(codeOf(L"Components.Nothing", IID_ITestAlpha, missing), HR_NOT_FOUND);
    EXPECT_FALSE(missing);
    EXPECT_EQ(codeOf(L"Components.Test", IID_ITestNearMiss, missing), E_NOINTERFACE);
    EXPECT_EQ(codeOf(nullptr, IID_ITestAlpha, missing), E_INVALIDARG);
    EXPECT_EQ(codeOf(std::wstring(5000, L'n').c_str(), IID_ITestAlpha, missing), E_INVALIDARG);

    alpha.Reset();
    ASSERT_EQ(RLRegisterNamedInstance(L"Components.Test", nullptr), S_OK);
    EXPECT_EQ(thing->Release(), 0u);
    ExpectNothingAlive();
}
} // namespace
