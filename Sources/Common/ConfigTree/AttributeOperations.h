// Raw attribute values (type code + bytes) and the operations that move them between nodes
// whatever their type: read, compare, copy with change detection, string-list read.
#pragma once

#include "Common/ConfigTree/VXNodePtr.h"

#include <cstdint>
#include <string>
#include <vector>

struct TRawAttribute
{
    std::uint16_t type = 0;
    std::vector<std::uint8_t> bytes;
};

// Reads the named attribute into buffer (resized to the value's size) and its type code.
// False when the node has no such attribute; other data layer failures are raised.
bool ReadRawAttribute(AttributeName name, const VXNodePtr& node, std::vector<std::uint8_t>& buffer,
                      std::uint16_t& type);
// For attributes known to exist: absence raises 0x80070490.
TRawAttribute ReadRawAttribute(AttributeName name, const VXNodePtr& node);

bool RawAttributesEqual(const TRawAttribute& a, const TRawAttribute& b);
bool RawAttributesEqual(std::uint16_t typeA, const std::vector<std::uint8_t>& a, std::uint16_t typeB,
                        const std::vector<std::uint8_t>& b);

// Copies one attribute, possibly under another name. With changed given, an identical value at
// the destination is left alone and reported as unchanged. scratch is reused across calls.
void CopyAttribute(AttributeName sourceName, const VXNodePtr& source, AttributeName destinationName,
                   const VXNodePtr& destination, std::vector<std::uint8_t>& scratch, bool* changed,
                   bool mustExist);
void CopyAttribute(AttributeName name, const VXNodePtr& source, const VXNodePtr& destination,
                   std::vector<std::uint8_t>& scratch, bool* changed, bool mustExist);

// Writes a raw value (code + bytes) through any handle on the node; an empty value is written
// as no data and zero length.
void WriteRawAttribute(const VXNodePtr& node, AttributeName name, std::uint16_t type,
                       const std::vector<std::uint8_t>& bytes);

// Reads a string-list attribute (code 0x102, NUL-separated texts); false when absent. A value of
// another code fails with the data layer's answer to a read of the wrong type.
bool GetStringListAttribute(const VXNodePtr& node, const std::wstring& name, std::vector<std::wstring>& list);
