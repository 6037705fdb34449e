// Which attributes of a node make up a connection settings record, and under which names the
// configuration server stores them. Built once from the "ConnectionParamsMapping" node; immutable.
#pragma once

#include "Common/ConfigTree/VXNodePtr.h"

#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace ManagementService
{
class CConnectionParamsMapping
{
public:
    explicit CConnectionParamsMapping(const VXNodePtr& mappingNode);
    CConnectionParamsMapping(const CConnectionParamsMapping&) = delete;
    CConnectionParamsMapping& operator=(const CConnectionParamsMapping&) = delete;

    // Every attribute of source arrives at destination; configuration server names are renamed.
    void ConvertConfigServerAttributes(const VXNodePtr& source, const VXNodePtr& destination) const;
    // Copies the connection attributes of source; the database attribute only when includeDatabase.
    void CopyConnectionAttributes(const VXNodePtr& source, const VXNodePtr& destination,
                                  bool includeDatabase) const;
    void SetDatabaseName(const VXNodePtr& node, const std::wstring& value) const;

    const std::set<std::wstring>& ConnectionAttributeNames() const { return m_connectionAttributeNames; }
    const std::vector<std::wstring>& CredentialAttributeNames() const { return m_credentialAttributeNames; }
    const std::unordered_map<std::wstring, std::wstring>& RenameMap() const { return m_renameMap; }
    const std::wstring& DatabaseAttributeName() const { return m_databaseAttributeName; }

private:
    std::set<std::wstring> m_connectionAttributeNames;
    std::vector<std::wstring> m_credentialAttributeNames;
    std::unordered_map<std::wstring, std::wstring> m_renameMap;
    std::wstring m_databaseAttributeName;
};
} // namespace ManagementService
