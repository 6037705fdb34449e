#include "Subsystems/ManagementService/ReportingSettingsManager/ConnectionParamsMapping.h"

#include "Common/ConfigTree/AttributeOperations.h"
#include "Common/ErrorHandling/HResult.h"

namespace ManagementService
{
CConnectionParamsMapping::CConnectionParamsMapping(const VXNodePtr& mappingNode)
{
    if (!mappingNode.IsValid())
    {
        RaiseHResult(E_POINTER);
    }
    const std::uint64_t count = mappingNode.GetChildCount();
    for (std::uint64_t i = 0; i < count; ++i)
    {
        VXNodePtr param = mappingNode.GetChild(i, true);
        if (param.GetType() != L"ConnectionParam")
        {
            continue;
        }
        std::wstring connectionName = param.GetStringAttribute(L"ConnectionAttributeName");
        std::wstring serverName = param.GetStringAttribute(L"ConfigServerAttributeName");
        m_connectionAttributeNames.insert(connectionName);
        if (!m_renameMap.emplace(std::move(serverName), std::move(connectionName)).second)
        {
            RaiseHResult(HR_INVALID_DATA);
        }
    }
    if (!GetStringListAttribute(mappingNode, L"ConnectionCredential", m_credentialAttributeNames))
    {
        RaiseHResult(HR_NOT_FOUND);
    }
    m_databaseAttributeName = mappingNode.GetStringAttribute(L"ConnDatabaseAttrName");
}

void CConnectionParamsMapping::ConvertConfigServerAttributes(const VXNodePtr& source,
                                                             const VXNodePtr& destination) const
{
    std::vector<std::uint8_t> scratch;
    for (const std::wstring& name : source.GetAttributeNames())
    {
        auto renamed = m_renameMap.find(name);
        if (renamed != m_renameMap.end())
        {
            TRawAttribute value = ReadRawAttribute(name, source);
            WriteRawAttribute(destination, renamed->second, value.type, value.bytes);
        }
        else
        {
            CopyAttribute(name, source, destination, scratch, nullptr, true);
        }
    }
}

void CConnectionParamsMapping::CopyConnectionAttributes(const VXNodePtr& source, const VXNodePtr& destination,
                                                        bool includeDatabase) const
{
    std::vector<std::uint8_t> scratch;
    for (const std::wstring& name : source.GetAttributeNames())
    {
        if (m_connectionAttributeNames.count(name) == 0)
        {
            continue;
        }
        if (!includeDatabase && name == m_databaseAttributeName)
        {
            continue;
        }
        CopyAttribute(name, source, destination, scratch, nullptr, true);
    }
}

void CConnectionParamsMapping::SetDatabaseName(const VXNodePtr& node, const std::wstring& value) const
{
    VXNodePtr target = node; // setters need a handle of their own
    target.SetStringAttribute(m_databaseAttributeName, value);
}
} // namespace ManagementService
