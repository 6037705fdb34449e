#include "Common/Components/ComponentObject.h"
#include "Common/Components/DbgAliveObjectsTracker.h"
#include "Common/Components/ModuleObject.h"
#include "Common/Components/NamedInstance.h"
#include "Common/Logging/LogManager.h"
#include "Common/Settings/GlobalSettings.h"
#include "TestComponents.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <set>
#include <string>
#include <vector>

using namespace Components;
using namespace ComponentsTests;

namespace
{
IComponentsModule* Module()
{
    void* p = nullptr;
    EXPECT_EQ(GetModuleObject().QueryInterface(&IID_IComponentsModule, &p), S_OK);
    return static_cast<IComponentsModule*>(p);
}

void* const kSentinel = reinterpret_cast<void*>(0x5A5A);

TEST(ModuleObject, BaseOperationsAndLocks)
{
    IComponentsModule* module = Module();
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->AddRef(), 0xFFFFFFFFu);
    EXPECT_EQ(module->Release(), 0xFFFFFFFFu);
    EXPECT_EQ(module->Release(), 0xFFFFFFFFu);

    void* p = kSentinel;
    EXPECT_EQ(module->QueryInterface(nullptr, &p), E_INVALIDARG);
    EXPECT_EQ(module->QueryInterface(&IID_IComponentsModule, nullptr), E_INVALIDARG);
    EXPECT_EQ(module->QueryInterface(&IID_ITestAlpha, &p), E_NOINTERFACE);
    EXPECT_EQ(p, kSentinel);

    void* primary = nullptr;
    ASSERT_EQ(module->QueryInterface(&IID_IComponentBase, &primary), S_OK);
    EXPECT_NE(primary, static_cast<void*>(module)); // a separate primary interface
    void* again = nullptr;
    EXPECT_EQ(static_cast<IComponentBase*>(primary)->QueryInterface(&IID_IComponentsModule, &again), S_OK);
    EXPECT_EQ(again, static_cast<void*>(module));

    EXPECT_EQ(module->Reserved(), S_OK);
    EXPECT_EQ(module->DumpAliveObjects(), S_OK);
    EXPECT_EQ(module->IsModuleLocked(nullptr), E_POINTER);

    std::uint32_t inUse = 7;
    ASSERT_EQ(module->IsModuleLocked(&inUse), S_OK);
    EXPECT_EQ(inUse, 0u);
    EXPECT_EQ(module->LockModule(), 1u);
    EXPECT_EQ(module->LockModule(), 2u);
    EXPECT_EQ(module->IsModuleLocked(&inUse), S_OK);
    EXPECT_EQ(inUse, 1u);
    EXPECT_EQ(module->UnlockModule(), 1u);
    EXPECT_EQ(module->UnlockModule(), 0u);
    EXPECT_EQ(module->IsModuleLocked(&inUse), S_OK);
    EXPECT_EQ(inUse, 0u);
}

TEST(ModuleObject, CreateInstanceThroughClassRegistry)
{
    IComponentsModule* module = Module();
    void* p = kSentinel;
    EXPECT_EQ(module->CreateInstance(&CLSID_TestComponent, &IID_ITestAlpha, &p), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(module->CreateInstance(nullptr, &IID_ITestAlpha, &p), E_INVALIDARG);
    EXPECT_EQ(p, kSentinel);
    {
        CClassRegistration registration(CLSID_TestComponent, &CTestObject::Creator);
        // A second registration of the same id does not replace the first.
        CClassRegistration duplicate(CLSID_TestComponent, [](const GUID*, void**) { return E_FAIL; });
        EXPECT_EQ(module->CreateInstance(&CLSID_TestComponent, &IID_ITestBeta, &p), S_OK);
        auto* beta = static_cast<ITestBeta*>(p);
        EXPECT_EQ(GetModuleObject().ObjectCount(), 1u);
        EXPECT_EQ(beta->Release(), 0u);
        EXPECT_EQ(GetModuleObject().ObjectCount(), 0u);
        // The creator's own failures come back unchanged.
        p = kSentinel;
        EXPECT_EQ(module->CreateInstance(&CLSID_TestComponent, nullptr, &p), E_INVALIDARG);
        EXPECT_EQ(module->CreateInstance(&CLSID_TestComponent, &IID_ITestAlphaNearMiss, &p), E_NOINTERFACE);
        EXPECT_EQ(p, kSentinel);
    }
    EXPECT_EQ(module->CreateInstance(&CLSID_TestComponent, &IID_ITestAlpha, &p), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CTestComponent::s_alive, 0);
}

TEST(ComponentObject, OneCountBehindEveryInterface)
{
    void* p = nullptr;
    ASSERT_EQ(CTestObject::CreateInstance(&IID_ITestAlpha, &p), S_OK);
    auto* alpha = static_cast<ITestAlpha*>(p);
    EXPECT_EQ(CTestComponent::s_alive, 1);
    EXPECT_EQ(alpha->Alpha(), 1);

    void* beta = nullptr;
    ASSERT_EQ(alpha->QueryInterface(&IID_ITestBeta, &beta), S_OK);
    EXPECT_EQ(static_cast<ITestBeta*>(beta)->Beta(), 0); // memory was zero-filled
    void* primaryFromAlpha = nullptr;
    void* primaryFromBeta = nullptr;
    ASSERT_EQ(alpha->QueryInterface(&IID_IComponentBase, &primaryFromAlpha), S_OK);
    ASSERT_EQ(static_cast<ITestBeta*>(beta)->QueryInterface(&IID_IComponentBase, &primaryFromBeta), S_OK);
    EXPECT_EQ(primaryFromAlpha, primaryFromBeta);
    std::set<void*> distinct{p, beta, primaryFromAlpha};
    EXPECT_EQ(distinct.size(), 3u);

    // Four references now; every interface counts on the one object.
    EXPECT_EQ(static_cast<IComponentBase*>(primaryFromBeta)->AddRef(), 5u);
    EXPECT_EQ(static_cast<ITestBeta*>(beta)->Release(), 4u);
    EXPECT_EQ(static_cast<IComponentBase*>(primaryFromAlpha)->Release(), 3u);
    EXPECT_EQ(static_cast<IComponentBase*>(primaryFromBeta)->Release(), 2u);

    void* untouched = kSentinel;
    EXPECT_EQ(alpha->QueryInterface(&IID_ITestAlphaNearMiss, &untouched), E_NOINTERFACE);
    EXPECT_EQ(alpha->QueryInterface(nullptr, &untouched), E_INVALIDARG);
    EXPECT_EQ(alpha->QueryInterface(&IID_ITestBeta, nullptr), E_INVALIDARG);
    EXPECT_EQ(untouched, kSentinel);

    EXPECT_EQ(GetModuleObject().ObjectCount(), 1u);
    EXPECT_EQ(GetAliveObjectsTracker().Count(), 1u);
    EXPECT_EQ(static_cast<ITestBeta*>(beta)->Release(), 1u);
    EXPECT_EQ(alpha->Release(), 0u);
    EXPECT_EQ(CTestComponent::s_alive, 0);
    EXPECT_EQ(GetModuleObject().ObjectCount(), 0u);
    EXPECT_EQ(GetAliveObjectsTracker().Count(), 0u);
}

TEST(ComponentObject, FailedCreationLeavesNothingAlive)
{
    void* p = kSentinel;
    CTestComponent::s_finalConstructResult = HR_NOT_FOUND;
    EXPECT_EQ(CTestObject::CreateInstance(&IID_ITestAlpha, &p), HR_NOT_FOUND);
    CTestComponent::s_finalConstructResult = S_OK;
    EXPECT_EQ(p, kSentinel);

    CTestComponent::s_constructorThrows = true;
    EXPECT_EQ(CTestObject::CreateInstance(&IID_ITestAlpha, &p), HR_INVALID_DATA);
    CTestComponent::s_constructorThrows = false;

    EXPECT_EQ(CTestObject::CreateInstance(&IID_ITestAlphaNearMiss, &p), E_NOINTERFACE);
    EXPECT_EQ(CTestObject::CreateInstance(nullptr, &p), E_INVALIDARG);
    EXPECT_EQ(CTestObject::CreateInstance(&IID_ITestAlpha, nullptr), E_INVALIDARG);
    EXPECT_EQ(p, kSentinel);
    EXPECT_EQ(CTestObject::CreateObject(nullptr), E_POINTER);

    EXPECT_EQ(CTestComponent::s_alive, 0);
    EXPECT_EQ(GetModuleObject().ObjectCount(), 0u);
    EXPECT_EQ(GetAliveObjectsTracker().Count(), 0u);
}

TEST(ComponentObject, ConstructorArgumentsAndPlainObjectCreation)
{
    CPlainObject* object = nullptr;
    ASSERT_EQ(CPlainObject::CreateObject(&object, 42), S_OK);
    EXPECT_EQ(object->Value(), 42);
    void* p = nullptr;
    EXPECT_EQ(object->QueryInterface(&IID_ITestAlpha, &p), E_NOINTERFACE);
    ASSERT_EQ(object->QueryInterface(&IID_IComponentBase, &p), S_OK);
    EXPECT_EQ(static_cast<IComponentBase*>(p)->Release(), 1u);
    EXPECT_EQ(object->Release(), 0u);
    EXPECT_EQ(GetModuleObject().ObjectCount(), 0u);
}

TEST(ComponentObject, TagsNameTheWrappedClass)
{
    EXPECT_EQ(CTestObject::Tag(),
              "CComponentObject<class ComponentsTests::CTestComponent>::CComponentObject");
    EXPECT_EQ(Detail::MakeObjectTag("void f() [with T = A::B<int, C<D; E> >; X = int]"),
              "CComponentObject<class A::B<int, C<D; E> >>::CComponentObject");
    EXPECT_EQ(Detail::MakeObjectTag("no marker"), "CComponentObject<class no marker>::CComponentObject");
}

// Answers the "Debug" keys it is given and remembers what it was asked.
class RecordingProvider : public Settings::ISettingsProvider
{
public:
    std::wstring enable;
    std::wstring skip;
    std::set<std::wstring> asked;

    HRESULT GetString(const wchar_t* section, const wchar_t* key, std::wstring& value) override
    {
        if (section == nullptr || std::wstring(section) != L"Debug")
        {
            return HR_NOT_FOUND;
        }
        asked.insert(key);
        const std::wstring& answer = std::wstring(key) == L"EnableAliveObjectsTracking" ? enable : skip;
        if (answer.empty())
        {
            return HR_NOT_FOUND;
        }
        value = answer;
        return S_OK;
    }
};

TEST(AliveObjectsTracker, SwitchesComeFromDebugSettings)
{
    RecordingProvider provider;
    Settings::SettingsStore::Instance().Register(&provider);

    provider.enable = L"0";
    provider.skip = L"3";
    DbgAliveObjectsTracker off;
    EXPECT_FALSE(off.IsEnabled());
    EXPECT_EQ(provider.asked, std::set<std::wstring>{L"EnableAliveObjectsTracking"});
    off.Register(&provider, "tag");
    EXPECT_EQ(off.Count(), 0u);

    provider.asked.clear();
    provider.enable = L"0x10";
    DbgAliveObjectsTracker on;
    EXPECT_TRUE(on.IsEnabled());
    EXPECT_EQ(on.FramesToSkip(), 3u);
    EXPECT_EQ(provider.asked.size(), 2u);

    Settings::SettingsStore::Instance().Unregister(&provider);
}

// Keeps the lines the log manager hands to it.
class CapturingLogger : public Logging::ILogger
{
public:
    std::vector<std::wstring> lines;
    void Write(const wchar_t* text, int length) override
    {
        lines.emplace_back(length < 0 ? std::wstring(text)
                                      : std::wstring(text, static_cast<std::size_t>(length)));
    }
};

TEST(AliveObjectsTracker, DumpListsRecordsInAddressOrder)
{
    CapturingLogger logger;
    Logging::LoggerRegistration registration(&logger);
    ASSERT_TRUE(registration.Registered());

    DbgAliveObjectsTracker tracker(true, 0);
    tracker.Dump();
    EXPECT_TRUE(logger.lines.empty());

    int objects[2] = {0, 0};
    tracker.Register(&objects[1], "CComponentObject<class Second>::CComponentObject");
    tracker.Register(&objects[0], "First\xE9");
    tracker.Dump();
    ASSERT_EQ(logger.lines.size(), 3u);
    EXPECT_NE(logger.lines[0].find(L"| WARN"), std::wstring::npos);
    EXPECT_NE(logger.lines[0].find(L":59 "), std::wstring::npos);
    EXPECT_NE(logger.lines[0].find(L"Alive component objects: 2"), std::wstring::npos);
    const std::wstring expectedTags[] = {L"ObjTag='First\u00E9' Ptr=" + FormatAddress(&objects[0]) +
                                             L" EIPs=",
                                         L"ObjTag='CComponentObject<class Second>::CComponentObject' Ptr=" +
                                             FormatAddress(&objects[1]) + L" EIPs="};
    for (int i = 0; i < 2; ++i)
    {
        const std::wstring& line = logger.lines[1 + i];
        EXPECT_NE(line.find(L":72 "), std::wstring::npos) << std::string(line.begin(), line.end());
        std::size_t at = line.find(expectedTags[i]);
        ASSERT_NE(at, std::wstring::npos) << std::string(line.begin(), line.end());
        std::wstring frames = line.substr(at + expectedTags[i].size());
        while (!frames.empty() && (frames.back() == L'\n' || frames.back() == L'\r'))
        {
            frames.pop_back();
        }
        // Four addresses of 18 characters, three separators, nothing after the last.
        EXPECT_EQ(frames.size(), 4u * 18u + 3u) << std::string(frames.begin(), frames.end());
        EXPECT_EQ(std::count(frames.begin(), frames.end(), L';'), 3);
    }

    logger.lines.clear();
    tracker.Unregister(&objects[0]);
    tracker.Unregister(&objects[1]);
    tracker.Dump();
    DbgAliveObjectsTracker off(false, 0);
    off.Register(&objects[0], "x");
    off.Dump();
    EXPECT_TRUE(logger.lines.empty());
}

TEST(AliveObjectsTracker, RecordsFollowObjectLives)
{
    DbgAliveObjectsTracker tracker(true, 0);
    int a = 0;
    int b = 0;
    tracker.Register(&a, "first");
    tracker.Register(&b, nullptr);
    tracker.Register(&a, "again"); // a reused address replaces the old record
    EXPECT_EQ(tracker.Count(), 2u);
    tracker.Unregister(&a);
    tracker.Unregister(&a);
    tracker.Unregister(nullptr);
    EXPECT_EQ(tracker.Count(), 1u);

    DbgAliveObjectsTracker off(false, 5);
    EXPECT_EQ(off.FramesToSkip(), 0u);
    off.Register(&a, "x");
    EXPECT_EQ(off.Count(), 0u);

    EXPECT_EQ(FormatAddress(nullptr), L"0x0000000000000000");
    EXPECT_EQ(FormatAddress(reinterpret_cast<void*>(0xABCDEF12)), L"0x00000000ABCDEF12");
}

// A framework instance that answers one interface.
class CNamedThing : public Components::CComponentRoot, public ITestAlpha
{
public:
    using Interfaces = Components::InterfaceList<Components::Interface<IID_ITestAlpha, ITestAlpha>>;
    int Alpha() override { return 7; }

protected:
    CNamedThing() = default;
    ~CNamedThing() = default;
};

TEST(NamedInstance, LookupRaisesFailuresAndHandsOverOneReference)
{
    using CNamedObject = CComponentObject<CNamedThing>;
    CNamedObject* thing = nullptr;
    ASSERT_EQ(CNamedObject::CreateObject(&thing), S_OK);
    ASSERT_EQ(RLRegisterNamedInstance(L"Components.Test.Thing", thing->PrimaryInterface()), S_OK);

    InterfacePtr<ITestAlpha> alpha;
    GetNamedInstance(L"Components.Test.Thing", IID_ITestAlpha, alpha);
    ASSERT_TRUE(alpha);
    EXPECT_EQ(alpha->Alpha(), 7);
    EXPECT_EQ(thing->AddRef(), 4u); // creation, registration, lookup, this one
    thing->Release();

    auto codeOf = [](const wchar_t* name, const GUID& iid, InterfacePtr<ITestAlpha>& out)
    {
        try
        {
            GetNamedInstance(name, iid, out);
        }
        catch (const HRX& e)
        {
            return e.Code();
        }
        return S_OK;
    };
    InterfacePtr<ITestAlpha> missing(alpha);
    EXPECT_EQ(codeOf(L"Components.Test.Nothing", IID_ITestAlpha, missing), HR_NOT_FOUND);
    EXPECT_FALSE(missing);
    EXPECT_EQ(codeOf(L"Components.Test.Thing", IID_ITestBeta, missing), E_NOINTERFACE);
    EXPECT_EQ(codeOf(nullptr, IID_ITestAlpha, missing), E_INVALIDARG);
    EXPECT_EQ(codeOf(L"", IID_ITestAlpha, missing), E_INVALIDARG);
    EXPECT_EQ(codeOf(std::wstring(5000, L'n').c_str(), IID_ITestAlpha, missing), E_INVALIDARG);
    EXPECT_FALSE(missing);

    alpha.Reset();
    ASSERT_EQ(RLRegisterNamedInstance(L"Components.Test.Thing", nullptr), S_OK);
    EXPECT_EQ(thing->Release(), 0u);
    EXPECT_EQ(GetModuleObject().ObjectCount(), 0u);
}
} // namespace
