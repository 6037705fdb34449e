// Which attributes of a node make up a connection settings record, and under which names the
// configuration server stores them. Built once from the "ConnectionParamsMapping" node; immutable.
#pragma once

#include "Common/ConfigTree/VXNodePtr.h"

#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ManagementService
{
class CConnectionParamsMapping
{
public:
    // Both look-ups take names as views, so that enumerated names are not copied to be checked.
    struct NameHash
    {
        using is_transparent = void;
        std::size_t operator()(std::wstring_view name) const noexcept
        {
            return std::hash<std::wstring_view>{}(name);
        }
    };
    using NameSet = std::set<std::wstring, std::less<>>;
    using RenameTable = std::unordered_map<std::wstring, std::wstring, NameHash, std::equal_to<>>;

    explicit CConnectionParamsMapping(const VXNodePtr& mappingNode);
    CConnectionParamsMapping(const CConnectionParamsMapping&) = delete;
    CConnectionParamsMapping& operator=(const CConnectionParamsMapping&) = delete;

    // Every attribute of source arrives at destination; configuration server names are renamed.
    void ConvertConfigServerAttributes(const VXNodePtr& source, const VXNodePtr& destination) const;
    // Copies the connection attributes of source; the database attribute only when includeDatabase.
    void CopyConnectionAttributes(const VXNodePtr& source, const VXNodePtr& destination,
                                  bool includeDatabase) const;
    void SetDatabaseName(const VXNodePtr& node, const std::wstring& value) const;

    const NameSet& ConnectionAttributeNames() const { return m_connectionAttributeNames; }
    const std::vector<std::wstring>& CredentialAttributeNames() const { return m_credentialAttributeNames; }
    const RenameTable& RenameMap() const { return m_renameMap; }
    const std::wstring& DatabaseAttributeName() const { return m_databaseAttributeName; }

private:
    NameSet m_connectionAttributeNames;
    std::vector<std::wstring> m_credentialAttributeNames;
    RenameTable m_renameMap;
    std::wstring m_databaseAttributeName;
};
} // namespace ManagementService
