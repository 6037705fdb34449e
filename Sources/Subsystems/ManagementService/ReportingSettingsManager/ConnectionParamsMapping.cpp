#include "Subsystems/ManagementService/ReportingSettingsManager/ConnectionParamsMapping.h"

#include "Common/ConfigTree/AttributeOperations.h"
#include "Common/ErrorHandling/HResult.h"

namespace ManagementService
{
namespace
{
// The copies run once or more per container; one buffer per thread spares an allocation each.
std::vector<std::uint8_t>& Scratch()
{
    thread_local std::vector<std::uint8_t> scratch;
    return scratch;
}
} // namespace

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
    std::vector<std::uint8_t>& scratch = Scratch();
    source.ForEachAttributeName(
        [&](const wchar_t* name)
        {
            auto renamed = m_renameMap.find(std::wstring_view(name));
            CopyAttribute(name, source, renamed != m_renameMap.end() ? renamed->second : AttributeName(name),
                          destination, scratch, nullptr, true);
        });
}

void CConnectionParamsMapping::CopyConnectionAttributes(const VXNodePtr& source, const VXNodePtr& destination,
                                                        bool includeDatabase) const
{
    std::vector<std::uint8_t>& scratch = Scratch();
    source.ForEachAttributeName(
        [&](const wchar_t* name)
        {
            const std::wstring_view view(name);
            if (m_connectionAttributeNames.count(view) == 0 ||
                (!includeDatabase && view == m_databaseAttributeName))
            {
                return;
            }
            CopyAttribute(name, source, destination, scratch, nullptr, true);
        });
}

void CConnectionParamsMapping::SetDatabaseName(const VXNodePtr& node, const std::wstring& value) const
{
    VXNodePtr target = node; // setters need a handle of their own
    target.SetStringAttribute(m_databaseAttributeName, value);
}
} // namespace ManagementService
