// Small components shared by the component hosting tests.
#pragma once

#include "Common/Components/ComponentObject.h"

#include <atomic>

namespace ComponentsTests
{
inline constexpr GUID IID_ITestAlpha = RSM_GUID(0x0A1F0001, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8);
inline constexpr GUID IID_ITestBeta = RSM_GUID(0x0A1F0002, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8);
// Differs from IID_ITestAlpha only in its last byte.
inline constexpr GUID IID_ITestNearMiss = RSM_GUID(0x0A1F0001, 0, 0, 1, 2, 3, 4, 5, 6, 7, 9);
inline constexpr GUID CLSID_TestComponent = RSM_GUID(0x0C1A5501, 0, 0, 9, 9, 9, 9, 9, 9, 9, 9);

class ITestAlpha : public IComponentBase
{
public:
    virtual int Value() = 0;
};
class ITestBeta : public IComponentBase
{
public:
    virtual int Untouched() = 0;
};

// Counts its lives; its constructor and FinalConstruct fail when a test asks them to.
class CTestComponent : public Components::CComponentRoot, public ITestAlpha, public ITestBeta
{
public:
    using Interfaces = Components::InterfaceList<Components::Interface<IID_ITestAlpha, ITestAlpha>,
                                                 Components::Interface<IID_ITestBeta, ITestBeta>>;
    static inline std::atomic<int> s_alive{0};
    static inline HRESULT s_finalConstructResult = S_OK;
    static inline HRESULT s_constructorRaises = S_OK;

    HRESULT FinalConstruct() { return s_finalConstructResult; }
    int Value() override { return m_value; }
    int Untouched() override { return m_untouched; }

protected:
    explicit CTestComponent(int value = 1) : m_value(value)
    {
        if (FAILED(s_constructorRaises))
        {
            RaiseHResult(s_constructorRaises);
        }
        ++s_alive;
    }
    ~CTestComponent() { --s_alive; }

private:
    int m_value;
    int m_untouched; // only the zero fill sets it
};

using CTestObject = Components::CComponentObject<CTestComponent>;
} // namespace ComponentsTests
