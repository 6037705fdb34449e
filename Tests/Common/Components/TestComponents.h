// Small components shared by the component hosting tests.
#pragma once

#include "Common/Components/ComponentObject.h"

#include <atomic>

namespace ComponentsTests
{
inline constexpr GUID IID_ITestAlpha = RSM_GUID(0x0A1F0001, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8);
inline constexpr GUID IID_ITestBeta = RSM_GUID(0x0A1F0002, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8);
// Differs from IID_ITestAlpha only in its last byte.
inline constexpr GUID IID_ITestAlphaNearMiss = RSM_GUID(0x0A1F0001, 0, 0, 1, 2, 3, 4, 5, 6, 7, 9);
inline constexpr GUID CLSID_TestComponent = RSM_GUID(0x0C1A5501, 0, 0, 9, 9, 9, 9, 9, 9, 9, 9);

class ITestAlpha : public IComponentBase
{
public:
    virtual int Alpha() = 0;

protected:
    ~ITestAlpha() = default;
};

class ITestBeta : public IComponentBase
{
public:
    virtual int Beta() = 0;

protected:
    ~ITestBeta() = default;
};

// Counts its lives; FinalConstruct answers what the test asks for.
class CTestComponent : public Components::CComponentRoot, public ITestAlpha, public ITestBeta
{
public:
    using Interfaces = Components::InterfaceList<Components::Interface<IID_ITestAlpha, ITestAlpha>,
                                                 Components::Interface<IID_ITestBeta, ITestBeta>>;

    static inline std::atomic<int> s_alive{0};
    static inline std::atomic<HRESULT> s_finalConstructResult{S_OK};
    static inline std::atomic<bool> s_constructorThrows{false};

    HRESULT FinalConstruct() { return s_finalConstructResult.load(); }

    int Alpha() override { return 1; }
    int Beta() override { return m_notInitialised; }
    std::uint32_t Count() const { return m_refCount.load(); }

protected:
    CTestComponent()
    {
        if (s_constructorThrows)
        {
            HRX hr;
            hr = HR_INVALID_DATA;
        }
        ++s_alive;
    }
    ~CTestComponent() { --s_alive; }

private:
    int m_notInitialised; // the zero fill is all that sets it
};

// Constructor arguments reach the component; no interfaces beyond the primary one.
class CPlainComponent : public Components::CComponentRoot
{
public:
    using Interfaces = Components::InterfaceList<>;
    int Value() const { return m_value; }

protected:
    explicit CPlainComponent(int value) : m_value(value) {}
    ~CPlainComponent() = default;

private:
    int m_value;
};

using CTestObject = Components::CComponentObject<CTestComponent>;
using CPlainObject = Components::CComponentObject<CPlainComponent>;
} // namespace ComponentsTests
