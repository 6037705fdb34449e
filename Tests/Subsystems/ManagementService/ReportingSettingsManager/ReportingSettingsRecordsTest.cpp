#include "Common/ErrorHandling/ErrorTestSupport.h"
#include "Common/ErrorHandling/HResult.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ConnectionParamsMapping.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsMetaStorage.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsPaths.h"

#include <gtest/gtest.h>

#include <functional>

#include "Platform/Core/Text.h"

using namespace ManagementService;
using TestSupport::CodeOf;

namespace
{
VXNodePtr SuffixEntry(std::int64_t type, const wchar_t* nodeType = L"PathSuffixEntry")
{
    VXNodePtr entry = VXNodePtr::Create(nullptr, nodeType);
    entry.SetInt64Attribute(L"ReportingSettingsType", type);
    entry.SetStringAttribute(L"PathSuffix", L"Reporting\\Database");
    entry.SetStringAttribute(L"PathSuffixTypes", L"Folder\\Db");
    return entry;
}

VXNodePtr PathsNode(std::initializer_list<VXNodePtr> suffixEntries = {})
{
    VXNodePtr node = VXNodePtr::Create(L"ReportingSettingsPaths");
    for (const auto& [type, key] : SettingsPathKeyTable())
    {
        node.SetStringAttribute(key, L"\\Settings\\T" + std::to_wstring(type));
    }
    for (const auto& [type, key] : HistoryPathKeyTable())
    {
        node.SetStringAttribute(key, L"\\History\\" + key);
    }
    node.SetStringAttribute(L"DatabaseAttrName", L"Database");
    node.SetStringAttribute(L"ReportingSettingsContainerNodeName", L"ReportingSettings");
    node.SetStringAttribute(L"AuditedSystemsContainerNodeName", L"AuditedSystems");
    node.SetStringAttribute(L"AuditedSystemNodeType", L"AuditedSystem");
    node.SetStringAttribute(L"MetaInformationRootPath", L"\\Meta");
    node.SetStringAttribute(L"ContainersCemeteryPath", L"\\Cemetery");
    node.SetStringAttribute(L"DatabaseVersionAttrName", L"Version");
    node.SetStringAttribute(L"CustomScriptAttrName", L"Script");
    VXNodePtr suffixes = VXNodePtr::Create(L"ReportingSettingsPathSuffixes");
    for (const VXNodePtr& entry : suffixEntries)
    {
        suffixes.AddChild(entry);
    }
    node.AddChild(suffixes);
    return node;
}

} // namespace

TEST(ReportingSettingsPathsTest, ReadsEveryKeyAnswersByTypeAndRefusesGaps)
{
    // Only the low 32 bits of an entry's type name the type.
    VXNodePtr node = PathsNode({SuffixEntry(0x100000008LL), SuffixEntry(4, L"pathsuffixentry")});
    ReportingSettingsPaths paths(node);

    EXPECT_EQ(paths.PathOf(Pentrel), L"\\Settings\\T8");
    EXPECT_EQ(paths.HistoryPathOf(Pentrel), L"\\History\\VaskorHistoryPath");
    EXPECT_EQ(paths.HistoryPathOf(Common), L"");
    EXPECT_EQ(paths.TypeOfPath(L"\\Settings\\T256"), Orvane);
    EXPECT_EQ(paths.TypeOfPath(L"\\settings\\t256"), 0u);
    ASSERT_NE(paths.SuffixOf(Pentrel), nullptr);
    EXPECT_EQ(paths.SuffixOf(Pentrel)->PathSuffixTypes, L"Folder\\Db");
    EXPECT_EQ(paths.SuffixOf(Quorl), nullptr); // the entry's node type differs in case
    EXPECT_EQ(CodeOf([&] { paths.PathOf(3); }), HR_INVALID_DATA);

    // Two types sharing one path: the smaller wins.
    node.SetStringAttribute(L"DorvSettingsPath", L"\\Shared");
    node.SetStringAttribute(L"TavrinSettingsPath", L"\\Shared");
    EXPECT_EQ(ReportingSettingsPathKeys(node).TypeOfPath(L"\\Shared"), Dorv);

    EXPECT_TRUE(IsProductType(Pentrel));
    EXPECT_TRUE(IsProductType(Orvane | Pentrel));
    EXPECT_FALSE(IsProductType(Containers));
    EXPECT_FALSE(IsProductType(Quorl));

    // Missing items and duplicate suffixes fail.
    node = PathsNode();
    node.DeleteAttribute(L"VaskorHistoryPath", true);
    EXPECT_EQ(CodeOf([&] { ReportingSettingsPaths{node}; }), HR_NOT_FOUND);
    EXPECT_EQ(CodeOf([&] { ReportingSettingsPathKeys{node}; }), S_OK); // keys need no history paths

    node = PathsNode();
    node.RemoveAllChildren();
    EXPECT_EQ(CodeOf([&] { ReportingSettingsPaths{node}; }), HR_NOT_FOUND);

    node = PathsNode({SuffixEntry(8), SuffixEntry(8)});
    EXPECT_EQ(CodeOf([&] { ReportingSettingsPaths{node}; }), HR_RSM_ERROR_2);
    VXNodePtr incomplete = SuffixEntry(16);
    incomplete.DeleteAttribute(L"PathSuffixTypes", true);
    EXPECT_EQ(CodeOf([&] { ReportingSettingsPaths{PathsNode({incomplete})}; }), HR_NOT_FOUND);

    EXPECT_EQ(CodeOf([&] { ReportingSettingsPaths{VXNodePtr()}; }), E_POINTER);
}

namespace
{
// A "ConnectionParam"; a null server name leaves that attribute out.
VXNodePtr Param(const std::wstring& connection, const wchar_t* server)
{
    VXNodePtr p = VXNodePtr::Create(nullptr, L"ConnectionParam");
    p.SetStringAttribute(L"ConnectionAttributeName", connection);
    if (server != nullptr)
    {
        p.SetStringAttribute(L"ConfigServerAttributeName", server);
    }
    return p;
}

VXNodePtr MappingNode()
{
    VXNodePtr mapping = VXNodePtr::Create(L"ConnectionParamsMapping");
    mapping.AddChild(Param(L"Server", L"SqlServerInstance"));
    mapping.AddChild(Param(L"Database", L"SqlDatabase"));
    mapping.AddChild(Param(L"Server", L"LegacyServer")); // two server names map to one connection name
    mapping.AddChild(VXNodePtr::Create(nullptr, L"Other"));
    std::string credentials = Platform::ToUtf16Le(std::wstring(L"User\0Password\0", 14));
    mapping.SetAttribute(L"ConnectionCredential", 0x102, credentials.data(), credentials.size());
    mapping.SetStringAttribute(L"ConnDatabaseAttrName", L"Database");
    return mapping;
}
} // namespace

TEST(ConnectionParamsMappingTest, BuildsConvertsAndCopiesAndRefusesBadInput)
{
    CConnectionParamsMapping mapping(MappingNode());
    EXPECT_EQ(mapping.ConnectionAttributeNames().size(), 2u);
    EXPECT_EQ(mapping.RenameMap().size(), 3u);
    EXPECT_EQ(mapping.CredentialAttributeNames(), (std::vector<std::wstring>{L"User", L"Password"}));

    VXNodePtr server = VXNodePtr::Create(L"Settings");
    server.SetStringAttribute(L"SqlServerInstance", L"sql01");
    server.SetStringAttribute(L"SqlDatabase", L"Reports");
    server.SetBoolAttribute(L"Enabled", true);
    VXNodePtr converted = VXNodePtr::Create();
    mapping.ConvertConfigServerAttributes(server, converted);
    EXPECT_EQ(converted.GetStringAttribute(L"Server"), L"sql01");
    EXPECT_EQ(converted.GetStringAttribute(L"Database"), L"Reports");
    EXPECT_TRUE(converted.GetBoolAttribute(L"Enabled"));
    EXPECT_FALSE(converted.HasAttribute(L"SqlServerInstance"));

    VXNodePtr copy = VXNodePtr::Create();
    mapping.CopyConnectionAttributes(converted, copy, false);
    EXPECT_EQ(copy.GetAttributeNames(), std::vector<std::wstring>{L"Server"});
    mapping.CopyConnectionAttributes(converted, copy, true);
    EXPECT_EQ(copy.GetStringAttribute(L"Database"), L"Reports");

    // The credential names must be a list of texts: plain text or another code is refused with
    // the data layer's answer to a read of the wrong type.
    std::int64_t ids[] = {1, 2};
    const std::vector<std::pair<std::function<void(VXNodePtr&)>, HRESULT>> spoilt = {
        {[](VXNodePtr& n) { n.DeleteAttribute(L"ConnectionCredential", true); }, HR_NOT_FOUND},
        {[](VXNodePtr& n) { n.DeleteAttribute(L"ConnDatabaseAttrName", true); }, HR_NOT_FOUND},
        {[](VXNodePtr& n) { n.SetStringAttribute(L"ConnectionCredential", L"User"); }, HR_INVALID_DATA},
        {[&](VXNodePtr& n) { n.SetAttribute(L"ConnectionCredential", 0x105, ids, sizeof(ids)); },
         HR_INVALID_DATA},
        {[](VXNodePtr& n) { n.AddChild(Param(L"Else", L"SqlDatabase")); }, HR_INVALID_DATA},
        {[](VXNodePtr& n) { n.AddChild(Param(L"Else", nullptr)); }, HR_NOT_FOUND},
    };
    for (const auto& [spoil, expected] : spoilt)
    {
        VXNodePtr node = MappingNode();
        spoil(node);
        EXPECT_EQ(CodeOf([&] { CConnectionParamsMapping{node}; }), expected);
    }

    EXPECT_EQ(CodeOf([] { CConnectionParamsMapping{VXNodePtr()}; }), E_POINTER);
    EXPECT_EQ(CodeOf([] { CReportingSettingsMetaStorage{nullptr}; }), E_POINTER);

    // A configuration server name longer than the data layer takes for attribute names.
    VXNodePtr node = MappingNode();
    node.AddChild(Param(std::wstring(40000, L'c'), L"Huge"));
    CConnectionParamsMapping huge(node);
    VXNodePtr source = VXNodePtr::Create();
    source.SetStringAttribute(L"Huge", L"value");
    VXNodePtr target = VXNodePtr::Create();
    EXPECT_EQ(CodeOf([&] { huge.ConvertConfigServerAttributes(source, target); }), E_INVALIDARG);
    EXPECT_EQ(CodeOf([&] { huge.ConvertConfigServerAttributes(VXNodePtr(), target); }), E_POINTER);
    EXPECT_EQ(CodeOf([&] { huge.CopyConnectionAttributes(source, VXNodePtr(), true); }),
              S_OK); // nothing to copy
    source.SetStringAttribute(L"Server", L"x");
    EXPECT_EQ(CodeOf([&] { huge.CopyConnectionAttributes(source, VXNodePtr(), true); }), E_POINTER);

    // No parameters at all: conversion copies everything, the connection copy nothing.
    VXNodePtr empty = VXNodePtr::Create();
    empty.SetAttribute(L"ConnectionCredential", 0x102, nullptr, 0);
    empty.SetStringAttribute(L"ConnDatabaseAttrName", L"Database");
    CConnectionParamsMapping none(empty);
    none.ConvertConfigServerAttributes(source, target);
    EXPECT_EQ(target.GetStringAttribute(L"Huge"), L"value");
    VXNodePtr untouched = VXNodePtr::Create();
    none.CopyConnectionAttributes(source, untouched, true);
    EXPECT_TRUE(untouched.GetAttributeNames().empty());
}

TEST(ReportingSettingsMetaStorageTest, VersionsByType)
{
    auto paths = std::make_shared<const ReportingSettingsPaths>(PathsNode());
    CReportingSettingsMetaStorage storage(paths);
    EXPECT_EQ(CodeOf([&] { storage.GetDatabaseVersion(Common); }), HR_NOT_FOUND);
    EXPECT_FALSE(storage.FindMetaInformation(Dorv, false).IsValid());

    VXNodePtr first = VXNodePtr::Create();
    first.SetInt64Attribute(L"Version", 3);
    VXNodePtr second = VXNodePtr::Create();
    second.SetInt64Attribute(L"Version", 7);
    storage.SetMetaInformation(Common, first);
    storage.SetMetaInformation(Common, second);
    EXPECT_EQ(storage.GetDatabaseVersion(Common), 7u);
    EXPECT_TRUE(storage.FindMetaInformation(Common, true).IsValid());

    VXNodePtr containers = VXNodePtr::Create();
    storage.SetMetaInformation(Containers, containers);
    EXPECT_EQ(storage.GetDatabaseVersion(Containers), 0u);
    auto kind = [&](const wchar_t* name, std::int64_t version)
    {
        VXNodePtr k = VXNodePtr::Create(name);
        VXNodePtr settings = VXNodePtr::Create(L"ReportingSettings");
        settings.SetInt64Attribute(L"Version", version);
        k.AddChild(settings);
        containers.AddChild(k);
    };
    kind(L"FileServer", 5);
    kind(L"Mail", -1); // read as unsigned: the largest
    containers.AddChild(VXNodePtr::Create(L"NoSettings"));
    EXPECT_EQ(storage.GetDatabaseVersion(Containers), 0xFFFFFFFFFFFFFFFFull);
    // Pentrel and Orvane never look at their own meta nodes.
    EXPECT_EQ(storage.GetDatabaseVersion(Pentrel), storage.GetDatabaseVersion(Containers));
    EXPECT_EQ(storage.GetDatabaseVersion(Orvane), storage.GetDatabaseVersion(Containers));

    EXPECT_EQ(CodeOf([&] { storage.GetDatabaseVersion(3); }), HR_INVALID_DATA);
    EXPECT_EQ(CodeOf([&] { storage.FindMetaInformation(Tavrin, true); }), HR_NOT_FOUND);
    storage.SetMetaInformation(Tavrin, VXNodePtr::Create());
    EXPECT_EQ(CodeOf([&] { storage.GetDatabaseVersion(Tavrin); }), HR_NOT_FOUND); // no version attribute
}
