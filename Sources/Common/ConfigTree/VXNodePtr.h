// Counted handle on one node of the configuration tree, with typed attribute access, path
// resolution and GUID text helpers. Every failure is raised as HRX; the not-found code
// (HR_NOT_FOUND) is passed over where the caller says the item may be absent.
#pragma once

#include "RsmTypes.h"
#include "Tessel.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

// Clone and path query depth meaning "the whole subtree".
constexpr std::int64_t kDepthAll = 0x7FFFFFFF;

// Name kinds of GetName / SetName.
constexpr std::uint32_t kNameOwn = 0;      // the node's own name
constexpr std::uint32_t kNameFullPath = 2; // the full path, beginning with a backslash

// FindNodeByPath flags.
constexpr std::uint32_t kFindNoClimb = 1;   // never step above the starting node
constexpr std::uint32_t kFindMustExist = 2; // raise HR_NOT_FOUND instead of returning an empty handle

class VXNodePtr
{
public:
    VXNodePtr() noexcept = default;
    // attach: take over the caller's reference; otherwise duplicate it (the caller keeps its own).
    VXNodePtr(IVXNode* raw, bool attach);
    VXNodePtr(const VXNodePtr& other);
    VXNodePtr(VXNodePtr&& other) noexcept;
    VXNodePtr& operator=(const VXNodePtr& other);
    VXNodePtr& operator=(VXNodePtr&& other) noexcept;
    ~VXNodePtr();

    // Closes the handle (result ignored) and leaves the object empty.
    void Reset() noexcept;
    // Hands the raw handle (and its reference) to the caller; the object becomes empty.
    IVXNode* Detach() noexcept;
    // Resets the object and exposes its handle slot for a call that stores a new handle.
    IVXNode** OutParam() noexcept;
    IVXNode* Get() const noexcept { return m_node; }
    bool IsValid() const noexcept { return m_node != nullptr; }
    explicit operator bool() const noexcept { return m_node != nullptr; }
    void Swap(VXNodePtr& other) noexcept;

    // A new detached node; null name or type leaves it empty.
    static VXNodePtr Create(const wchar_t* name = nullptr, const wchar_t* type = nullptr);
    // Same, assigned to this object.
    void CreateNode(const wchar_t* name = nullptr, const wchar_t* type = nullptr);
    // A detached copy of this node and `depth` levels of its subtree.
    VXNodePtr Clone(std::uint64_t depth = kDepthAll, std::uint32_t flags = 0) const;

    // Name and type reads never raise: on a failure they give the text read so far.
    std::wstring GetName(std::uint32_t kind = kNameOwn) const;
    void SetName(std::uint32_t kind, const std::wstring& name);
    std::wstring GetType() const;

    // Children.
    std::uint64_t GetChildCount() const;
    // An absent child gives an empty handle, or raises HR_NOT_FOUND when mustExist.
    VXNodePtr GetChild(std::uint64_t index, bool mustExist = true) const;
    VXNodePtr GetChild(const std::wstring& name, bool mustExist = true) const;
    // Empty for a node without a parent.
    VXNodePtr GetParent() const;
    // The child joins this node; the caller keeps its own handle on it.
    void AddChild(const VXNodePtr& child);
    void RemoveChild(std::uint64_t index);
    void RemoveAllChildren();
    // Calls action for every child present when the call starts, in order.
    void ForEachChild(const std::function<void(VXNodePtr)>& action) const;
    std::vector<VXNodePtr> GetChildren() const;

    // Attributes: readers named Try... return false for an absent attribute; the Get... readers
    // without a default raise HR_NOT_FOUND; those with a default also give it for code 0.
    bool HasAttribute(const std::wstring& name) const;
    bool GetAttributeType(const std::wstring& name, std::uint16_t& type) const;
    // buffer may be null to ask for the size; size is the capacity on entry, the stored size on return.
    bool TryGetAttribute(const std::wstring& name, std::optional<std::uint16_t> expectedType, void* buffer,
                         std::uint64_t& size) const;

    bool TryGetStringAttribute(const std::wstring& name, std::wstring& value) const;
    std::wstring GetStringAttribute(const std::wstring& name) const;
    std::wstring GetStringAttribute(const std::wstring& name, const std::wstring& defaultValue) const;

    bool TryGetInt64Attribute(const std::wstring& name, std::int64_t& value) const;
    std::int64_t GetInt64Attribute(const std::wstring& name) const;
    std::optional<std::int64_t> GetOptionalInt64Attribute(const std::wstring& name) const;

    bool TryGetBoolAttribute(const std::wstring& name, bool& value) const;
    bool GetBoolAttribute(const std::wstring& name) const;
    bool GetBoolAttribute(const std::wstring& name, bool defaultValue) const;

    bool TryGetGuidAttribute(const std::wstring& name, GUID& value) const;
    GUID GetGuidAttribute(const std::wstring& name) const;

    // length -1: the text runs to its terminator.
    void SetStringAttribute(const std::wstring& name, const wchar_t* text, std::int64_t length = -1);
    void SetStringAttribute(const std::wstring& name, const std::wstring& text);
    void SetInt32Attribute(const std::wstring& name, std::int32_t value);
    void SetInt64Attribute(const std::wstring& name, std::int64_t value);
    void SetBoolAttribute(const std::wstring& name, bool value);
    void SetGuidAttribute(const std::wstring& name, const GUID& value);
    // Code 0x105; an empty list is written as a null pointer and size 0.
    void SetArrayAttribute(const std::wstring& name, const std::vector<std::int64_t>& elements);
    // Raw value of any code, for callers that copy attributes as they are stored.
    void SetAttribute(const std::wstring& name, std::uint16_t type, const void* value, std::uint64_t size);

    void DeleteAttribute(const std::wstring& name, bool mustExist);
    // Names in the order the data layer keeps them.
    std::vector<std::wstring> GetAttributeNames() const;
    // The same names, visited without building a list: each is null-terminated and valid during
    // its visit only. For the paths that look at every attribute of many nodes.
    template <class Visit> void ForEachAttributeName(Visit&& visit) const
    {
        VisitAttributeNames([](void* context, const wchar_t* name)
                            { (*static_cast<std::remove_reference_t<Visit>*>(context))(name); },
                            &visit);
    }

private:
    void VisitAttributeNames(void (*visit)(void* context, const wchar_t* name), void* context) const;

    IVXNode* m_node = nullptr;
};

// An attribute name handed to the data layer as it is, without a copy: a std::wstring, a literal,
// or a name visited by ForEachAttributeName.
class AttributeName
{
public:
    AttributeName(const std::wstring& name) noexcept : m_text(name.c_str()) {}
    AttributeName(const wchar_t* name) noexcept : m_text(name) {}
    const wchar_t* c_str() const noexcept { return m_text; }
    std::wstring_view View() const noexcept { return m_text == nullptr ? std::wstring_view() : m_text; }

private:
    const wchar_t* m_text;
};

// The node that path names, starting at node: an absolute path (leading backslash) is resolved
// against the node's full path, a relative one below the node; an empty path gives the node itself.
VXNodePtr FindNodeByPath(const VXNodePtr& node, const std::wstring& path, std::uint32_t flags);
// The full path that relative names from base ("." kept as a component, ".." steps up).
std::wstring CombineNodePath(const std::wstring& base, const std::wstring& relative);
// A detached "FilterByPath" node selecting path and maxDepth levels below it.
VXNodePtr MakePathQuery(const std::wstring& path, bool isParent = false, std::int64_t maxDepth = kDepthAll);

// GUID text forms of FormatGuid.
constexpr int kGuidBraced = 0;      // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
constexpr int kGuidDigits = 1;      // 32 upper-case digits
constexpr int kGuidDashed = 2;      // XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX
constexpr int kGuidDashedLower = 3; // the same in lower case

// Accepts the braced, dashed and 32-digit forms in either case; raises E_INVALIDARG.
GUID ParseGuid(const wchar_t* text);
// S_OK, E_INVALIDARG for null or malformed text, E_POINTER for a null result pointer.
HRESULT ParseGuid(const wchar_t* text, GUID* guid) noexcept;
// Raises E_FAIL for a form outside 0-3.
std::wstring FormatGuid(const GUID& guid, int form = kGuidBraced);
// A new UUID from the system; raises the system's status as an HRESULT.
GUID NewGuid();
HRESULT NewGuid(GUID* guid) noexcept;
// Judges a UuidCreate status: the local-only and no-address statuses are accepted unless the UUID
// is all zero.
HRESULT UuidStatusToHResult(std::uint32_t status, const GUID& uuid) noexcept;
