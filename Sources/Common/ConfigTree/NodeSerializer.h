// Configuration nodes as text for the log: the data layer's serializer driven into a byte string,
// and node dumps whose hidden attributes (setting "Logger"/"HiddenNodeTypeAttrs") are masked in a
// private copy.
#pragma once

#include "Common/ConfigTree/VXNodePtr.h"

#include <cstdint>
#include <ostream>
#include <string>

class CNodeSerializer
{
public:
    CNodeSerializer(std::uint32_t serializationType, std::uint32_t flags, std::string& output);
    ~CNodeSerializer();
    CNodeSerializer(const CNodeSerializer&) = delete;
    CNodeSerializer& operator=(const CNodeSerializer&) = delete;

    void SerializeNodes(IVXNode* const* nodes, std::uint64_t count, std::uint64_t depth);
    void Finalize();

private:
    static HRESULT WriteChunk(const void* data, std::uint64_t size, void* context);

    std::string& m_output;
    IVXSerializationContext* m_context = nullptr;
};

std::string SerializeNodesToString(IVXNode* const* nodes, std::uint64_t count, std::uint32_t flags,
                                   std::uint64_t depth);

// The masked copy when some visited node carries a hidden attribute, otherwise the node itself.
VXNodePtr MaskHiddenAttributes(const VXNodePtr& node, std::uint64_t depth);

// A node as it is written into a log message.
class NodeDump
{
public:
    NodeDump(const VXNodePtr& node, bool wholeSubtree);

    std::wstring Text() const;
    const VXNodePtr& Node() const { return m_node; }
    std::uint64_t Depth() const { return m_depth; }

private:
    VXNodePtr m_node;
    std::uint64_t m_depth = 0;
};

std::wostream& operator<<(std::wostream& stream, const NodeDump& dump);

// Drops the hidden attributes table so that the next dump reads the setting again (tests).
void ResetHiddenAttributesForTesting();
