// Modification records: the configuration server reports changes as an enumeration of
// modification nodes ("ModifiedNodePath", "ChangesMask", the changed node as child 0); these
// functions turn them into TNodeModification records in the order the server yields them.
#pragma once

#include "Common/ConfigTree/VXNodePtr.h"
#include "ConfigServer.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct TNodeModification
{
    std::wstring ModifiedNodePath;
    std::uint32_t ChangesMask = 0;
    // Empty when the modification node has no child.
    VXNodePtr ModifiedNode;
};

namespace NodeModifyUtils
{
TNodeModification MakeNodeModification(IVXNode* node);
TNodeModification MakeNodeModification(const VXNodePtr& node);

// Calls action with each record, moved. A failing Next ends the enumeration quietly; a failure
// while converting a node or inside the action is raised, records already delivered stay so.
void ForEachModification(IVXNodeModifyEnum* modifications,
                         const std::function<void(TNodeModification&&)>& action);

std::vector<TNodeModification> GetModifications(IVXNodeModifyEnum* modifications);
} // namespace NodeModifyUtils
