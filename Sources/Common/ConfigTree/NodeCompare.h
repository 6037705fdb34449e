// Deep comparison of two configuration nodes under a set of flags, and replacement of one
// node's content by another's.
#pragma once

#include "Common/ConfigTree/VXNodePtr.h"

#include <cstdint>
#include <string>

enum NodeCompareFlags : std::uint32_t
{
    kCompareSkipIdentity = 1,   // the two top nodes may have different names
    kCompareIdentityByName = 2, // identity is the own name, not the full path
    kCompareSkipChildren = 4,
    kCompareChildrenAnyOrder = 8,
    kCompareSkipAttributes = 16,
    kCompareStringsIgnoreCase = 32,  // string values (codes 1 and 2) compare without regard to case
    kCompareSkipHashAttributes = 64, // attributes whose name begins with "#" are ignored
    kComparePairChildrenByIndex = 128,
};

bool NodesEqual(const VXNodePtr& a, const VXNodePtr& b, std::uint32_t flags);
bool AttributesEqual(const VXNodePtr& a, const VXNodePtr& b, std::uint32_t flags);
bool AttributeEqual(AttributeName name, const VXNodePtr& a, const VXNodePtr& b, std::uint32_t flags);
bool ChildrenEqual(const VXNodePtr& a, const VXNodePtr& b, std::uint32_t flags);

// destination takes source's attributes and deep copies of its children; its name and type stay.
void ReplaceNodeContent(const VXNodePtr& source, const VXNodePtr& destination);
