#include "Subsystems/ManagementService/ReportingSettingsManager/ProductsSettingsProvider.h"

#include "Common/ConfigTree/AttributeOperations.h"
#include "Common/ConfigTree/NodeCompare.h"
#include "Common/ConfigTree/NodeSerializer.h"
#include "Common/ErrorHandling/HResult.h"
#include "Common/Logging/Log.h"
#include "Common/Logging/Trace.h"

#include <algorithm>
#include <cstring>

namespace ManagementService
{
namespace
{
constexpr std::int64_t kQuorlProductId = 0x7FFFFFFFFFFFFFFFLL;
constexpr std::uint32_t kSnapshotCompareFlags = kCompareIdentityByName | kCompareChildrenAnyOrder;

#define PROVIDER_NAME L"ManagementService::CProductsSettingsProvider::"

// Names passed for every container, built once instead of once per call.
const std::wstring kEnabled = L"Enabled";
const std::wstring kWasEverEnabled = L"WasEverEnabled";
const std::wstring kContainerId = L"ContainerId";
const std::wstring kDatabase = L"Database";
const std::wstring kDbName = L"DbName";
const std::wstring kMiscReportingSettings = L"MiscReportingSettings";
const std::wstring kReportingSettings = L"ReportingSettings";
} // namespace

namespace
{
bool GuidBefore(const GUID& a, const GUID& b) noexcept
{
    return std::memcmp(&a, &b, sizeof(GUID)) < 0;
}
} // namespace

void SeenContainers::Seal()
{
    std::sort(m_ids.begin(), m_ids.end(), GuidBefore);
}

bool SeenContainers::Contains(const GUID& id) const noexcept
{
    return std::binary_search(m_ids.begin(), m_ids.end(), id, GuidBefore);
}

VXNodePtr QueryNodeByPath(IConfigStorage* storage, const std::wstring& path, bool mandatory)
{
    if (storage == nullptr)
    {
        RaiseHResult(E_POINTER);
    }
    VXNodePtr query = MakePathQuery(path, false, kDepthAll);
    VXNodePtr found;
    std::uint64_t count = 0;
    HRX hr;
    hr = storage->QueryNodes(query.Get(), 0, found.OutParam(), 1, &count);
    if (count == 0)
    {
        found.Reset();
        if (mandatory)
        {
            RaiseHResult(HR_NOT_FOUND);
        }
    }
    return found;
}

CProductsSettingsProvider::CProductsSettingsProvider(
    IConfigServer* configServer, std::shared_ptr<const CConnectionParamsMapping> mapping,
    std::shared_ptr<const CReportingSettingsMetaStorage> metaStorage,
    std::shared_ptr<const ReportingSettingsPaths> paths)
    : m_configServer(configServer, false), m_mapping(std::move(mapping)),
      m_metaStorage(std::move(metaStorage)), m_paths(std::move(paths))
{
    if (!m_configServer || !m_mapping || !m_metaStorage || !m_paths)
    {
        RaiseHResult(E_POINTER);
    }
}

Components::InterfacePtr<IConfigStorage> CProductsSettingsProvider::Storage() const
{
    Components::InterfacePtr<IConfigStorage> storage;
    HRX hr;
    hr = m_configServer->GetService(&IID_IConfigStorage, storage.OutVoid());
    if (!storage)
    {
        RaiseHResult(E_POINTER);
    }
    return storage;
}

VXNodePtr CProductsSettingsProvider::ReadNode(const std::wstring& path, bool mandatory) const
{
    return QueryNodeByPath(Storage().Get(), path, mandatory);
}

VXNodePtr CProductsSettingsProvider::SettingsOf(ReportingSettingsType type) const
{
    Base::LockGuard<Base::RecursiveMutex> lock(m_lock);
    auto it = m_settingsByType.find(type);
    return it == m_settingsByType.end() ? VXNodePtr() : it->second;
}

VXNodePtr CProductsSettingsProvider::AccumulateProductsSettings(const std::uint32_t& typesMask)
{
    RSM_TRACE_SCOPE(Logging::Dbg, PROVIDER_NAME L"AccumulateProductsSettings");
    VXNodePtr productsSettings = VXNodePtr::Create(L"ProductsSettings");
    Base::LockGuard<Base::RecursiveMutex> lock(m_lock);
    for (ReportingSettingsType type : {Quorl, Pentrel, Dorv, Tavrin, Lumic, Skellan, Orvane})
    {
        if ((typesMask & type) == 0)
        {
            continue;
        }
        VXNodePtr entry = GetProductsSettingsByType(type);
        if (entry.IsValid())
        {
            productsSettings.AddChild(entry);
        }
    }
    if ((typesMask & Containers) != 0 && m_settingsByType.count(Containers) != 0)
    {
        AppendContainerEntries(productsSettings);
    }
    return productsSettings;
}

VXNodePtr CProductsSettingsProvider::GetProductsSettingsByType(ReportingSettingsType type)
{
    RSM_TRACE_SCOPE(Logging::Dbg2, PROVIDER_NAME L"GetProductsSettingsByType");
    RSM_LOG(Logging::Dbg2, L"Getting products settings for: " << type);
    auto it = m_settingsByType.find(type);
    if (it == m_settingsByType.end())
    {
        return {};
    }
    const VXNodePtr& entry = it->second;
    VXNodePtr settings = entry.GetChildCount() > 0 ? entry.GetChild(std::uint64_t{0}, true) : VXNodePtr();
    const bool enabled = entry.GetBoolAttribute(kEnabled, true);
    const std::uint32_t state = StateOf(settings, type, enabled, nullptr);
    if (state == kReportingNeverEnabled)
    {
        return {};
    }
    std::vector<std::int64_t> ids;
    bool mandatory = false;
    switch (type)
    {
    case Quorl:
        ids.push_back(kQuorlProductId);
        mandatory = false;
        break;
    case Pentrel:
    case Dorv:
    case Orvane:
    {
        VXNodePtr meta = m_metaStorage->FindMetaInformation(type, false);
        std::int64_t code = 0;
        if (!meta.IsValid() || !meta.TryGetInt64Attribute(L"DatabaseCollectorCode", code))
        {
            return {};
        }
        ids.push_back(code);
        mandatory = state == kReportingEnabled;
        break;
    }
    case Tavrin:
    case Lumic:
    case Skellan:
        mandatory = true;
        break;
    default:
        return {};
    }
    return BuildProductDatabaseInfo(settings, ids, type, mandatory);
}

std::uint32_t CProductsSettingsProvider::StateOf(const VXNodePtr& settings, ReportingSettingsType type,
                                                 bool enabled, const std::wstring* containerName) const
{
    if (IsEnabledNow(settings, enabled))
    {
        return kReportingEnabled;
    }
    return StateFromHistory(ReadNode(HistoryPathOf(type, containerName), false));
}

bool CProductsSettingsProvider::IsEnabledNow(const VXNodePtr& settings, bool enabled)
{
    return settings.IsValid() && settings.GetBoolAttribute(kEnabled, false) && enabled;
}

std::uint32_t CProductsSettingsProvider::StateFromHistory(const VXNodePtr& history)
{
    return history.IsValid() && history.GetBoolAttribute(kWasEverEnabled, false) ? kReportingWasEverEnabled
                                                                                 : kReportingNeverEnabled;
}

std::wstring CProductsSettingsProvider::HistoryPathOf(ReportingSettingsType type,
                                                      const std::wstring* containerName) const
{
    std::wstring path = m_paths->HistoryPathOf(type);
    if (containerName != nullptr)
    {
        path += L"\\" + *containerName;
    }
    return path;
}

VXNodePtr CProductsSettingsProvider::BuildProductDatabaseInfo(const VXNodePtr& settings,
                                                              const std::vector<std::int64_t>& productIds,
                                                              ReportingSettingsType type,
                                                              bool mandatory) const
{
    const std::uint64_t version = m_metaStorage->GetDatabaseVersion(type);
    VXNodePtr info = VXNodePtr::Create(nullptr, L"ProductDatabaseInfoNodeType");
    info.SetInt32Attribute(L"ReportingSettingsType", static_cast<std::int32_t>(type));
    VXNodePtr meta = m_metaStorage->FindMetaInformation(type, false);
    std::vector<std::uint8_t> scratch;
    if (meta.IsValid() && meta.HasAttribute(L"DatabaseSchemaType"))
    {
        CopyAttribute(L"DatabaseSchemaType", meta, info, scratch, nullptr, true);
    }
    if (!productIds.empty())
    {
        info.SetArrayAttribute(L"ProductIds", productIds);
    }
    info.SetBoolAttribute(L"Mandatory", mandatory);
    info.SetInt64Attribute(L"DatabaseVersion", static_cast<std::int64_t>(version));
    info.SetBoolAttribute(L"VersionCheckRequired", false);
    if (settings.IsValid())
    {
        m_mapping->CopyConnectionAttributes(settings, info, true);
    }
    return info;
}

void CProductsSettingsProvider::AppendContainerEntries(VXNodePtr& productsSettings)
{
    const VXNodePtr& connectionNodes = m_settingsByType.at(Containers);
    // Plain loops rather than ForEachChild: the lock's contract does not reach into a lambda.
    const std::uint64_t count = connectionNodes.GetChildCount();
    for (std::uint64_t i = 0; i < count; ++i)
    {
        VXNodePtr containerNode = connectionNodes.GetChild(i, true);
        const std::wstring name = containerNode.GetName(kNameOwn);
        // One read of the history serves both the state and the audited systems.
        VXNodePtr history = ReadNode(HistoryPathOf(Containers, &name), false);
        const std::uint32_t state =
            IsEnabledNow(containerNode, true) ? kReportingEnabled : StateFromHistory(history);
        if (state == kReportingNeverEnabled)
        {
            continue;
        }
        VXNodePtr auditedSystems;
        if (history.IsValid())
        {
            auditedSystems = history.GetChild(m_paths->AuditedSystemsNodeName(), false);
        }
        AppendContainerEntry(productsSettings, containerNode, containerNode, auditedSystems,
                             state == kReportingEnabled);
        const std::uint64_t childCount = containerNode.GetChildCount();
        for (std::uint64_t c = 0; c < childCount; ++c)
        {
            VXNodePtr child = containerNode.GetChild(c, true);
            if (child.GetType() == L"CreateSessionRequest")
            {
                AppendContainerEntry(productsSettings, containerNode, child, auditedSystems, false);
            }
        }
    }
}

void CProductsSettingsProvider::AppendContainerEntry(VXNodePtr& productsSettings,
                                                     const VXNodePtr& containerNode,
                                                     const VXNodePtr& settings,
                                                     const VXNodePtr& auditedSystems, bool mandatory)
{
    VXNodePtr info =
        BuildProductDatabaseInfo(settings, ContainerProductIds(auditedSystems), Containers, mandatory);
    std::vector<std::uint8_t> scratch;
    CopyAttribute(L"Name", containerNode, info, scratch, nullptr, true);
    CopyAttribute(L"ContainerId", containerNode, info, scratch, nullptr, true);
    productsSettings.AddChild(info);
}

std::vector<std::int64_t>
CProductsSettingsProvider::ContainerProductIds(const VXNodePtr& auditedSystems) const
{
    std::vector<std::int64_t> ids;
    VXNodePtr meta = m_metaStorage->FindMetaInformation(Containers, false);
    if (!auditedSystems.IsValid() || !meta.IsValid())
    {
        return ids;
    }
    const std::wstring& systemType = m_paths->AuditedSystemNodeType();
    auditedSystems.ForEachChild(
        [&](const VXNodePtr& system)
        {
            if (system.GetType() != systemType)
            {
                return;
            }
            VXNodePtr kind = meta.GetChild(system.GetName(kNameOwn), false);
            if (!kind.IsValid())
            {
                return;
            }
            VXNodePtr settings = kind.GetChild(std::wstring(L"ReportingSettings"), true);
            std::int64_t code = 0;
            if (settings.TryGetInt64Attribute(L"DatabaseCollectorCode", code))
            {
                ids.push_back(code);
            }
        });
    return ids;
}

void CProductsSettingsProvider::UpdateConnectionSettings(ReportingSettingsType type, const VXNodePtr& wrapper,
                                                         bool enabled)
{
    Base::LockGuard<Base::RecursiveMutex> lock(m_lock);
    RSM_TRACE_SCOPE(Logging::Dbg, PROVIDER_NAME L"UpdateConnectionSettings");
    RSM_LOG(Logging::Dbg, L"Updating connection settings type " << type);
    if (!wrapper.IsValid())
    {
        RaiseHResult(E_POINTER);
    }
    VXNodePtr copy = wrapper.Clone(kDepthAll, 0);
    copy.SetBoolAttribute(kEnabled, enabled);
    if (enabled && wrapper.GetChildCount() > 0 &&
        wrapper.GetChild(std::uint64_t{0}, true).GetBoolAttribute(kEnabled, false))
    {
        MarkWasEverEnabled(type, nullptr, nullptr);
    }
    m_settingsByType[type] = std::move(copy);
}

void CProductsSettingsProvider::MarkWasEverEnabled(ReportingSettingsType type,
                                                   const std::wstring* containerName,
                                                   IConfigTransaction* transaction)
{
    if (m_paths->HistoryPathOf(type).empty())
    {
        return;
    }
    const std::wstring path = HistoryPathOf(type, containerName);
    VXNodePtr mark = VXNodePtr::Create();
    mark.SetName(kNameFullPath, path);
    mark.SetBoolAttribute(kWasEverEnabled, true);
    IVXNode* nodes[] = {mark.Get()};
    HRX hr;
    hr = Storage()->PutNodes(transaction, 0, nodes, 1);
}

void CProductsSettingsProvider::UpdateContainersSettings(const VXNodePtr& commonSettings,
                                                         const VXNodePtr& containers, bool fullUpdate)
{
    RSM_TRACE_SCOPE(Logging::Dbg, PROVIDER_NAME L"UpdateContainersSettings");
    Base::LockGuard<Base::RecursiveMutex> lock(m_lock);
    if (!commonSettings.IsValid() || !containers.IsValid())
    {
        RaiseHResult(E_POINTER);
    }
    VXNodePtr& connectionNodes = m_settingsByType[Containers];
    if (!connectionNodes.IsValid())
    {
        connectionNodes = VXNodePtr::Create(L"ConnectionSettingsContainer");
    }
    Components::InterfacePtr<IConfigStorage> storage = Storage();
    Components::InterfacePtr<IConfigTransaction> transaction;
    HRX hr;
    hr = storage->CreateTransaction(transaction.Out());
    SeenContainers seen;
    const std::uint64_t containerCount = containers.GetChildCount();
    seen.Reserve(static_cast<std::size_t>(containerCount));
    for (std::uint64_t i = 0; i < containerCount; ++i)
    {
        UpdateContainer(storage.Get(), transaction.Get(), commonSettings, containers.GetChild(i, true),
                        connectionNodes, fullUpdate, seen);
    }
    if (fullUpdate)
    {
        seen.Seal();
        const std::uint64_t connectionCount = connectionNodes.GetChildCount();
        for (std::uint64_t i = 0; i < connectionCount; ++i)
        {
            RetireIfUnseen(connectionNodes.GetChild(i, true), transaction.Get(), seen);
        }
    }
    hr = storage->CommitTransaction(transaction.Get());
}

void CProductsSettingsProvider::UpdateContainer(IConfigStorage* storage, IConfigTransaction* transaction,
                                                const VXNodePtr& commonSettings, const VXNodePtr& container,
                                                VXNodePtr& connectionNodes, bool fullUpdate,
                                                SeenContainers& seen)
{
    const std::wstring name = container.GetName(kNameOwn);
    RSM_LOG(Logging::Dbg, L"Updating product settings for container " << name);
    seen.Add(ParseGuid(name.c_str()));
    VXNodePtr auditedSystems = container.GetChild(m_paths->AuditedSystemsNodeName(), false);
    VXNodePtr reportingSettings = container.GetChild(m_paths->ContainerNodeName(), false);
    if (!reportingSettings.IsValid())
    {
        RSM_LOG(Logging::Warn, L"Skipping container " << name << L" because reporting settings are missing");
        return;
    }
    if (reportingSettings.GetBoolAttribute(kEnabled, false))
    {
        MarkWasEverEnabled(Containers, &name, transaction);
    }
    IntStoreContainerConnectionSettings(commonSettings, container, reportingSettings, connectionNodes,
                                        fullUpdate);
    if (auditedSystems.IsValid() && auditedSystems.GetChildCount() > 0)
    {
        IntStoreContainerAuditedSystems(storage, transaction, container, auditedSystems);
    }
}

void CProductsSettingsProvider::IntStoreContainerConnectionSettings(const VXNodePtr& commonSettings,
                                                                    const VXNodePtr& container,
                                                                    const VXNodePtr& reportingSettings,
                                                                    VXNodePtr& connectionNodes,
                                                                    bool fullUpdate)
{
    RSM_TRACE_SCOPE(Logging::Dbg, PROVIDER_NAME L"IntStoreContainerConnectionSettings");
    const std::wstring name = container.GetName(kNameOwn);
    RSM_LOG(Logging::Dbg, L"Storing connection settings for container " << name);

    VXNodePtr connection = VXNodePtr::Create(name.c_str(), L"CreateSessionRequest");
    m_mapping->CopyConnectionAttributes(commonSettings, connection, false);
    connection.SetGuidAttribute(kContainerId, ParseGuid(name.c_str()));
    CopyAttribute(L"Name", container, connection, m_scratch, nullptr, true);
    connection.SetBoolAttribute(kEnabled, commonSettings.GetBoolAttribute(kEnabled, false) &&
                                              reportingSettings.GetBoolAttribute(kEnabled, false) &&
                                              fullUpdate);
    std::wstring database;
    reportingSettings.TryGetStringAttribute(kDatabase, database);
    connection.SetStringAttribute(kDbName, database);

    VXNodePtr misc = reportingSettings.GetChild(kMiscReportingSettings, false);
    if (misc.IsValid())
    {
        RSM_LOG(Logging::Dbg, L"Updating miscellaneous reporting settings " << NodeDump(misc, true));
        misc.ForEachChild(
            [&](const VXNodePtr& settings)
            {
                if (settings.GetType() != kReportingSettings || !settings.GetBoolAttribute(kEnabled, false))
                {
                    return;
                }
                VXNodePtr request = VXNodePtr::Create(nullptr, L"CreateSessionRequest");
                m_mapping->ConvertConfigServerAttributes(settings, request);
                m_mapping->CopyConnectionAttributes(connection, request, false);
                connection.AddChild(request);
            });
    }

    VXNodePtr existing = connectionNodes.GetChild(name, false);
    if (!existing.IsValid())
    {
        connectionNodes.AddChild(connection);
    }
    else if (!NodesEqual(existing, connection, kSnapshotCompareFlags))
    {
        ReplaceNodeContent(connection, existing);
    }
}

void CProductsSettingsProvider::IntStoreContainerAuditedSystems(IConfigStorage* storage,
                                                                IConfigTransaction* transaction,
                                                                const VXNodePtr& container,
                                                                const VXNodePtr& auditedSystems)
{
    RSM_TRACE_SCOPE(Logging::Dbg, PROVIDER_NAME L"IntStoreContainerAuditedSystems");
    const std::wstring name = container.GetName(kNameOwn);
    RSM_LOG(Logging::Dbg, L"Storing audited systems for container " << name);
    const std::wstring& systemsName = m_paths->AuditedSystemsNodeName();
    const std::wstring& systemType = m_paths->AuditedSystemNodeType();
    VXNodePtr history = VXNodePtr::Create();
    history.SetName(kNameFullPath, HistoryPathOf(Containers, &name) + L"\\" + systemsName);
    auditedSystems.ForEachChild(
        [&](const VXNodePtr& system)
        {
            if (system.GetType() != systemType || !system.GetBoolAttribute(kEnabled, false))
            {
                return;
            }
            std::wstring systemName = system.GetName(kNameOwn);
            RSM_LOG(Logging::Dbg2, L"Adding audited system " << systemName);
            history.AddChild(VXNodePtr::Create(systemName.c_str(), systemType.c_str()));
        });
    IVXNode* nodes[] = {history.Get()};
    HRX hr;
    hr = storage->PutNodes(transaction, 0, nodes, 1);
}

void CProductsSettingsProvider::RetireIfUnseen(const VXNodePtr& connectionNode,
                                               IConfigTransaction* transaction, const SeenContainers& seen)
{
    const std::wstring name = connectionNode.GetName(kNameOwn);
    if (seen.Contains(ParseGuid(name.c_str())))
    {
        return;
    }
    RSM_LOG(Logging::Dbg, L"Removing container " << name << L" from connection settings and history");
    RemoveContainerHistory(name, transaction);
    VXNodePtr node = connectionNode;
    node.SetBoolAttribute(kEnabled, false);
}

void CProductsSettingsProvider::RemoveContainerHistory(const std::wstring& containerName,
                                                       IConfigTransaction* transaction)
{
    RSM_TRACE_SCOPE(Logging::Dbg, PROVIDER_NAME L"RemoveContainerHistory");
    VXNodePtr query = MakePathQuery(HistoryPathOf(Containers, &containerName), false, kDepthAll);
    HRX hr;
    hr = Storage()->RemoveNodes(transaction, query.Get());
}
} // namespace ManagementService
