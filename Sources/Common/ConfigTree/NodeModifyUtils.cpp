#include "Common/ConfigTree/NodeModifyUtils.h"
#include "InterfacePtr.h"
#include "Common/ErrorHandling/HResult.h"

namespace NodeModifyUtils
{
TNodeModification MakeNodeModification(const VXNodePtr& node)
{
    if (!node)
    {
        RaiseHResult(E_POINTER);
    }
    TNodeModification record;
    record.ModifiedNodePath = node.GetStringAttribute(L"ModifiedNodePath");
    // The server's mask is 64 bits wide; the records keep the low half.
    record.ChangesMask = static_cast<std::uint32_t>(node.GetInt64Attribute(L"ChangesMask"));
    record.ModifiedNode = node.GetChild(0, false);
    return record;
}

TNodeModification MakeNodeModification(IVXNode* node)
{
    if (node == nullptr)
    {
        RaiseHResult(E_POINTER);
    }
    return MakeNodeModification(VXNodePtr(node, false));
}

void ForEachModification(IVXNodeModifyEnum* modifications,
                         const std::function<void(TNodeModification&&)>& action)
{
    if (modifications == nullptr)
    {
        RaiseHResult(E_POINTER);
    }
    Components::InterfacePtr<IVXNodeEnumerator> enumerator;
    HRX hr;
    hr = modifications->GetNodeEnumerator(enumerator.Out());
    if (!enumerator)
    {
        RaiseHResult(E_POINTER);
    }
    enumerator->Reset(); // only starts the enumeration; its result tells nothing
    for (;;)
    {
        VXNodePtr node;
        if (enumerator->Next(node.OutParam()) != S_OK)
        {
            break;
        }
        action(MakeNodeModification(node));
    }
}

std::vector<TNodeModification> GetModifications(IVXNodeModifyEnum* modifications)
{
    std::vector<TNodeModification> records;
    ForEachModification(modifications,
                        [&records](TNodeModification&& record) { records.push_back(std::move(record)); });
    return records;
}
} // namespace NodeModifyUtils
