// Configuration data layer: flat C functions over counted node handles.
// Every handle handed out belongs to the caller, who closes it once with VxnCloseNodeHandle.
// Text arguments are wide strings; text attribute values (type code 2) are UTF-16LE bytes
// with their terminator: (characters + 1) x 2 bytes.
#pragma once

#include "RsmTypes.h"

struct IVXNode;                 // opaque node handle
struct IVXSerializationContext; // opaque running serialization

// Attribute type codes.
enum : std::uint16_t
{
    VXN_ATTR_EMPTY = 0,     // present without a value
    VXN_ATTR_ASTRING = 1,   // 8-bit text with terminator
    VXN_ATTR_STRING = 2,    // UTF-16LE text with terminator
    VXN_ATTR_INT32 = 3,     // 4 bytes
    VXN_ATTR_INT64 = 6,     // 8 bytes, signed
    VXN_ATTR_BOOL = 7,      // 1 byte
    VXN_ATTR_GUID = 13,     // 16 bytes
    VXN_ATTR_ARRAY = 0x100, // flag: array of the element code in the low byte
    VXN_ATTR_STRING_ARRAY = 0x102,
    VXN_ATTR_INT64_ARRAY = 0x105, // 8-byte elements
};

// Name kinds of VxnGetNodeName / VxnSetNodeName.
enum : std::uint32_t
{
    VXN_NAME_OWN = 0,
    VXN_NAME_FULL_PATH = 2,
};

constexpr std::uint64_t VXN_DEPTH_ALL = 0x7FFFFFFF;

// Serialization format 1: readable XML (UTF-8) framed by a "<nr>" line and a "</nr>" line.
constexpr std::uint32_t VXN_SERIALIZATION_XML = 1;

// Receives one chunk of serialized bytes; a failure HRESULT stops the serialization.
typedef HRESULT (*VxnSerializationWriter)(const void* data, std::uint64_t size, void* context);

extern "C"
{
    RSM_EXPORT HRESULT VxnCreateNode(const wchar_t* name, const wchar_t* type, IVXNode** node);
    RSM_EXPORT HRESULT VxnDuplicateNodeHandle(IVXNode* node, IVXNode** duplicate);
    RSM_EXPORT HRESULT VxnCloseNodeHandle(IVXNode* node);
    RSM_EXPORT HRESULT VxnCloneNode(IVXNode* node, std::uint64_t depth, std::uint32_t flags, IVXNode** clone);

    // Text reads: *length is the buffer's capacity in characters on entry and the length needed,
    // terminator included, on return. A short buffer gives HR_INSUFFICIENT_BUFFER.
    RSM_EXPORT HRESULT VxnGetNodeType(IVXNode* node, wchar_t* buffer, std::uint32_t* length);
    RSM_EXPORT HRESULT VxnGetAttributeNames(IVXNode* node, wchar_t* buffer, std::uint32_t* length);
    RSM_EXPORT HRESULT VxnGetNodeName(IVXNode* node, std::uint32_t kind, wchar_t* buffer,
                                      std::uint32_t* length);
    // Kind 2 on a detached node sets its path (the own name becomes the last component); on an
    // attached node only the path a rename would give is accepted (E_INVALIDARG otherwise).
    RSM_EXPORT HRESULT VxnSetNodeName(IVXNode* node, std::uint32_t kind, const wchar_t* name);

    RSM_EXPORT HRESULT VxnGetChildCount(IVXNode* node, std::uint64_t* count);
    RSM_EXPORT HRESULT VxnGetChildByIndex(IVXNode* node, std::uint64_t index, IVXNode** child);
    RSM_EXPORT HRESULT VxnGetChildByName(IVXNode* node, const wchar_t* name, IVXNode** child);
    // S_FALSE and a null handle for a detached node.
    RSM_EXPORT HRESULT VxnGetParent(IVXNode* node, IVXNode** parent);
    RSM_EXPORT HRESULT VxnAddChild(IVXNode* parent, IVXNode* child);
    // An index out of range gives HR_NOT_FOUND.
    RSM_EXPORT HRESULT VxnRemoveChildByIndex(IVXNode* node, std::uint64_t index);

    RSM_EXPORT HRESULT VxnSetAttribute(IVXNode* node, const wchar_t* name, std::uint16_t type,
                                       const void* value, std::uint64_t size);
    // buffer may be null to ask for the size; *size is the capacity on entry and the stored size on return.
    RSM_EXPORT HRESULT VxnGetAttribute(IVXNode* node, const wchar_t* name, const std::uint16_t* expectedType,
                                       void* buffer, std::uint64_t* size, std::uint16_t* type);
    RSM_EXPORT HRESULT VxnDeleteAttribute(IVXNode* node, const wchar_t* name);

    RSM_EXPORT HRESULT VxnStartSerialization(std::uint32_t format, std::uint32_t flags,
                                             VxnSerializationWriter writer, void* writerContext,
                                             IVXSerializationContext** context);
    RSM_EXPORT HRESULT VxnSerializeNodes(IVXSerializationContext* context, IVXNode* const* nodes,
                                         std::uint64_t count, std::uint64_t depth);
    RSM_EXPORT HRESULT VxnFinalizeSerialization(IVXSerializationContext* context);
    RSM_EXPORT HRESULT VxnCloseSerializationContext(IVXSerializationContext* context);

    // Parses the text form written by serialization format 1 back into a detached tree.
    // On a syntax error, errorLine/errorColumn (1-based, may be null) tell where.
    RSM_EXPORT HRESULT VxnParseNodes(const void* text, std::uint64_t size, IVXNode** node,
                                     std::uint64_t* errorLine, std::uint64_t* errorColumn);
}
