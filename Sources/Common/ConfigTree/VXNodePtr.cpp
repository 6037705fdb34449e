#include "Common/ConfigTree/VXNodePtr.h"

#include "Common/ErrorHandling/HResult.h"
#include "Platform/Core/Text.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace
{
// First offer of every text read; big enough for nearly all names, types and values, and on the
// stack so that the common case allocates nothing but the result.
constexpr std::uint32_t kFirstTextChars = 128;

// Sentinel for "the data layer did not report a type".
constexpr std::uint16_t kNoType = 0xFFFF;

// Reads text with the grow-on-demand protocol: a fixed buffer first, then the result's own
// storage sized to what the data layer asked for. read(buffer, length) has the data layer's
// in/out length convention (characters, terminator included). On a failure result keeps what
// was read so far.
template <class Read> HRESULT ReadText(std::wstring& result, Read&& read)
{
    result.clear();
    wchar_t fixed[kFirstTextChars];
    std::uint32_t length = kFirstTextChars;
    HRESULT hr = read(fixed, &length);
    if (SUCCEEDED(hr))
    {
        result.assign(fixed, length == 0 ? 0 : std::min(length, kFirstTextChars) - 1);
        return hr;
    }
    std::uint32_t offered = kFirstTextChars;
    while (hr == HR_INSUFFICIENT_BUFFER && length > offered)
    {
        // The terminator goes into the string's own terminator slot.
        result.resize(length - 1);
        offered = length;
        hr = read(result.data(), &length);
    }
    if (SUCCEEDED(hr))
    {
        result.resize(length == 0 ? 0 : std::min(length, offered) - 1);
    }
    return hr;
}

// Text attribute (UTF-16LE bytes with terminator) read with the same protocol in bytes. The wide
// result is UTF-32 here, so the grown storage is a separate UTF-16 buffer. storedType receives
// the stored code when the data layer reports it (also on a type mismatch).
HRESULT ReadTextAttribute(IVXNode* node, const std::wstring& name, std::wstring& result,
                          std::uint16_t& storedType)
{
    result.clear();
    storedType = kNoType;
    const std::uint16_t expected = VXN_ATTR_STRING;
    char16_t fixed[kFirstTextChars];
    const std::uint64_t fixedBytes = sizeof(fixed);
    std::uint64_t size = fixedBytes;
    HRESULT hr = VxnGetAttribute(node, name.c_str(), &expected, fixed, &size, &storedType);
    const void* bytes = fixed;
    std::uint64_t offered = fixedBytes;
    std::u16string grown;
    while (hr == HR_INSUFFICIENT_BUFFER && size > offered)
    {
        grown.resize(static_cast<std::size_t>((size + 1) / 2));
        offered = grown.size() * 2;
        size = offered;
        hr = VxnGetAttribute(node, name.c_str(), &expected, grown.data(), &size, &storedType);
        bytes = grown.data();
    }
    if (FAILED(hr))
    {
        return hr;
    }
    size = std::min(size, offered);
    const std::uint64_t chars = size / 2 == 0 ? 0 : size / 2 - 1;
    result = Platform::FromUtf16Le(bytes, static_cast<std::size_t>(chars * 2));
    return hr;
}

// Fixed-size value read straight into the caller's variable.
HRESULT ReadFixed(IVXNode* node, const std::wstring& name, std::uint16_t expected, void* value,
                  std::uint64_t valueSize, std::uint16_t& storedType)
{
    storedType = kNoType;
    std::uint64_t size = valueSize;
    return VxnGetAttribute(node, name.c_str(), &expected, value, &size, &storedType);
}
} // namespace

VXNodePtr::VXNodePtr(IVXNode* raw, bool attach)
{
    if (raw == nullptr)
    {
        return;
    }
    if (attach)
    {
        m_node = raw;
        return;
    }
    IVXNode* duplicate = nullptr;
    HRX hr;
    hr = VxnDuplicateNodeHandle(raw, &duplicate);
    m_node = duplicate;
}

VXNodePtr::VXNodePtr(const VXNodePtr& other) : VXNodePtr(other.m_node, false) {}

VXNodePtr::VXNodePtr(VXNodePtr&& other) noexcept : m_node(other.m_node)
{
    other.m_node = nullptr;
}

VXNodePtr& VXNodePtr::operator=(const VXNodePtr& other)
{
    if (m_node == other.m_node)
    {
        return *this;
    }
    // Duplicate before closing so that a failure leaves this object as it was.
    VXNodePtr copy(other);
    Swap(copy);
    return *this;
}

VXNodePtr& VXNodePtr::operator=(VXNodePtr&& other) noexcept
{
    if (this != &other)
    {
        Reset();
        m_node = other.m_node;
        other.m_node = nullptr;
    }
    return *this;
}

VXNodePtr::~VXNodePtr()
{
    Reset();
}

void VXNodePtr::Reset() noexcept
{
    if (m_node != nullptr)
    {
        IVXNode* node = m_node;
        m_node = nullptr;
        (void)VxnCloseNodeHandle(node);
    }
}

IVXNode* VXNodePtr::Detach() noexcept
{
    IVXNode* node = m_node;
    m_node = nullptr;
    return node;
}

IVXNode** VXNodePtr::OutParam() noexcept
{
    Reset();
    return &m_node;
}

void VXNodePtr::Swap(VXNodePtr& other) noexcept
{
    std::swap(m_node, other.m_node);
}

namespace
{
IVXNode* Required(IVXNode* node)
{
    if (node == nullptr)
    {
        RaiseHResult(E_POINTER);
    }
    return node;
}

// The readers named Try...: an absent attribute is false, any other failure is raised.
bool PresentOrRaise(HRESULT result)
{
    if (result == HR_NOT_FOUND)
    {
        return false;
    }
    HRX hr;
    hr = result;
    return true;
}
} // namespace

VXNodePtr VXNodePtr::Create(const wchar_t* name, const wchar_t* type)
{
    IVXNode* raw = nullptr;
    HRX hr;
    hr = VxnCreateNode(name, type, &raw);
    return VXNodePtr(raw, true);
}

void VXNodePtr::CreateNode(const wchar_t* name, const wchar_t* type)
{
    VXNodePtr created = Create(name, type);
    Swap(created);
}

VXNodePtr VXNodePtr::Clone(std::uint64_t depth, std::uint32_t flags) const
{
    IVXNode* raw = nullptr;
    HRX hr;
    hr = VxnCloneNode(Required(m_node), depth, flags, &raw);
    return VXNodePtr(raw, true);
}

std::wstring VXNodePtr::GetName(std::uint32_t kind) const
{
    std::wstring name;
    if (m_node != nullptr)
    {
        (void)ReadText(name, [&](wchar_t* buffer, std::uint32_t* length)
                       { return VxnGetNodeName(m_node, kind, buffer, length); });
    }
    return name;
}

void VXNodePtr::SetName(std::uint32_t kind, const std::wstring& name)
{
    HRX hr;
    hr = VxnSetNodeName(Required(m_node), kind, name.c_str());
}

std::wstring VXNodePtr::GetType() const
{
    std::wstring type;
    if (m_node != nullptr)
    {
        (void)ReadText(type, [&](wchar_t* buffer, std::uint32_t* length)
                       { return VxnGetNodeType(m_node, buffer, length); });
    }
    return type;
}

std::uint64_t VXNodePtr::GetChildCount() const
{
    std::uint64_t count = 0;
    HRX hr;
    hr = VxnGetChildCount(Required(m_node), &count);
    return count;
}

VXNodePtr VXNodePtr::GetChild(std::uint64_t index, bool mustExist) const
{
    IVXNode* raw = nullptr;
    const HRESULT result = VxnGetChildByIndex(Required(m_node), index, &raw);
    if (result == HR_NOT_FOUND && !mustExist)
    {
        return VXNodePtr();
    }
    HRX hr;
    hr = result;
    return VXNodePtr(raw, true);
}

VXNodePtr VXNodePtr::GetChild(const std::wstring& name, bool mustExist) const
{
    IVXNode* raw = nullptr;
    const HRESULT result = VxnGetChildByName(Required(m_node), name.c_str(), &raw);
    if (result == HR_NOT_FOUND && !mustExist)
    {
        return VXNodePtr();
    }
    HRX hr;
    hr = result;
    return VXNodePtr(raw, true);
}

VXNodePtr VXNodePtr::GetParent() const
{
    IVXNode* raw = nullptr;
    const HRESULT result = VxnGetParent(Required(m_node), &raw);
    // A detached node has no parent; whether the data layer says so with a null handle or with
    // the not-found code, the answer is an empty handle.
    if (result == HR_NOT_FOUND)
    {
        return VXNodePtr();
    }
    HRX hr;
    hr = result;
    return VXNodePtr(raw, true);
}

void VXNodePtr::AddChild(const VXNodePtr& child)
{
    HRX hr;
    hr = VxnAddChild(Required(m_node), Required(child.m_node));
}

void VXNodePtr::RemoveChild(std::uint64_t index)
{
    HRX hr;
    hr = VxnRemoveChildByIndex(Required(m_node), index);
}

void VXNodePtr::RemoveAllChildren()
{
    const std::uint64_t count = GetChildCount();
    for (std::uint64_t i = 0; i < count; ++i)
    {
        RemoveChild(0);
    }
}

void VXNodePtr::ForEachChild(const std::function<void(VXNodePtr)>& action) const
{
    const std::uint64_t count = GetChildCount();
    for (std::uint64_t i = 0; i < count; ++i)
    {
        action(GetChild(i, true));
    }
}

std::vector<VXNodePtr> VXNodePtr::GetChildren() const
{
    std::vector<VXNodePtr> children;
    children.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(GetChildCount(), 1024)));
    ForEachChild([&](VXNodePtr child) { children.push_back(std::move(child)); });
    return children;
}

bool VXNodePtr::HasAttribute(const std::wstring& name) const
{
    std::uint16_t type = 0;
    return GetAttributeType(name, type);
}

bool VXNodePtr::GetAttributeType(const std::wstring& name, std::uint16_t& type) const
{
    std::uint16_t stored = 0;
    const HRESULT result =
        VxnGetAttribute(Required(m_node), name.c_str(), nullptr, nullptr, nullptr, &stored);
    if (!PresentOrRaise(result))
    {
        return false;
    }
    type = stored;
    return true;
}

bool VXNodePtr::TryGetAttribute(const std::wstring& name, std::optional<std::uint16_t> expectedType,
                                void* buffer, std::uint64_t& size) const
{
    const std::uint16_t* expected = expectedType ? &*expectedType : nullptr;
    const HRESULT result = VxnGetAttribute(Required(m_node), name.c_str(), expected, buffer, &size, nullptr);
    return PresentOrRaise(result);
}

bool VXNodePtr::TryGetStringAttribute(const std::wstring& name, std::wstring& value) const
{
    std::uint16_t stored = kNoType;
    const HRESULT result = ReadTextAttribute(Required(m_node), name, value, stored);
    if (!PresentOrRaise(result))
    {
        value.clear();
        return false;
    }
    return true;
}

std::wstring VXNodePtr::GetStringAttribute(const std::wstring& name) const
{
    std::wstring value;
    std::uint16_t stored = kNoType;
    HRX hr;
    hr = ReadTextAttribute(Required(m_node), name, value, stored);
    return value;
}

std::wstring VXNodePtr::GetStringAttribute(const std::wstring& name, const std::wstring& defaultValue) const
{
    std::wstring value;
    std::uint16_t stored = kNoType;
    const HRESULT result = ReadTextAttribute(Required(m_node), name, value, stored);
    if (result == HR_NOT_FOUND || (result == HR_INVALID_DATA && stored == VXN_ATTR_EMPTY))
    {
        return defaultValue;
    }
    HRX hr;
    hr = result;
    return value;
}

bool VXNodePtr::TryGetInt64Attribute(const std::wstring& name, std::int64_t& value) const
{
    std::uint16_t stored = kNoType;
    const HRESULT result = ReadFixed(Required(m_node), name, VXN_ATTR_INT64, &value, sizeof(value), stored);
    return PresentOrRaise(result);
}

std::int64_t VXNodePtr::GetInt64Attribute(const std::wstring& name) const
{
    std::int64_t value = 0;
    std::uint16_t stored = kNoType;
    HRX hr;
    hr = ReadFixed(Required(m_node), name, VXN_ATTR_INT64, &value, sizeof(value), stored);
    return value;
}

std::optional<std::int64_t> VXNodePtr::GetOptionalInt64Attribute(const std::wstring& name) const
{
    std::int64_t value = 0;
    if (!TryGetInt64Attribute(name, value))
    {
        return std::nullopt;
    }
    return value;
}

namespace
{
// Booleans are stored as one byte; reading into a byte keeps any stored value a valid bool.
HRESULT ReadBool(IVXNode* node, const std::wstring& name, bool& value, std::uint16_t& stored)
{
    std::uint8_t byte = 0;
    const HRESULT result = ReadFixed(node, name, VXN_ATTR_BOOL, &byte, sizeof(byte), stored);
    if (SUCCEEDED(result))
    {
        value = byte != 0;
    }
    return result;
}
} // namespace

bool VXNodePtr::TryGetBoolAttribute(const std::wstring& name, bool& value) const
{
    std::uint16_t stored = kNoType;
    const HRESULT result = ReadBool(Required(m_node), name, value, stored);
    return PresentOrRaise(result);
}

bool VXNodePtr::GetBoolAttribute(const std::wstring& name) const
{
    bool value = false;
    std::uint16_t stored = kNoType;
    HRX hr;
    hr = ReadBool(Required(m_node), name, value, stored);
    return value;
}

bool VXNodePtr::GetBoolAttribute(const std::wstring& name, bool defaultValue) const
{
    bool value = false;
    std::uint16_t stored = kNoType;
    const HRESULT result = ReadBool(Required(m_node), name, value, stored);
    if (result == HR_NOT_FOUND || (result == HR_INVALID_DATA && stored == VXN_ATTR_EMPTY))
    {
        return defaultValue;
    }
    HRX hr;
    hr = result;
    return value;
}

bool VXNodePtr::TryGetGuidAttribute(const std::wstring& name, GUID& value) const
{
    std::uint16_t stored = kNoType;
    const HRESULT result = ReadFixed(Required(m_node), name, VXN_ATTR_GUID, &value, sizeof(value), stored);
    return PresentOrRaise(result);
}

GUID VXNodePtr::GetGuidAttribute(const std::wstring& name) const
{
    GUID value{};
    std::uint16_t stored = kNoType;
    HRX hr;
    hr = ReadFixed(Required(m_node), name, VXN_ATTR_GUID, &value, sizeof(value), stored);
    return value;
}

void VXNodePtr::SetStringAttribute(const std::wstring& name, const wchar_t* text, std::int64_t length)
{
    IVXNode* node = Required(m_node);
    if (text == nullptr)
    {
        RaiseHResult(E_POINTER);
    }
    if (length < -1 || length > kDepthAll)
    {
        RaiseHResult(E_FAIL);
    }
    const std::size_t chars = length == -1 ? std::wcslen(text) : static_cast<std::size_t>(length);
    std::string bytes = Platform::ToUtf16Le(std::wstring_view(text, chars));
    bytes.append(2, '\0');
    HRX hr;
    hr = VxnSetAttribute(node, name.c_str(), VXN_ATTR_STRING, bytes.data(), bytes.size());
}

void VXNodePtr::SetStringAttribute(const std::wstring& name, const std::wstring& text)
{
    SetStringAttribute(name, text.c_str(), static_cast<std::int64_t>(text.size()));
}

void VXNodePtr::SetInt32Attribute(const std::wstring& name, std::int32_t value)
{
    SetAttribute(name, VXN_ATTR_INT32, &value, sizeof(value));
}

void VXNodePtr::SetInt64Attribute(const std::wstring& name, std::int64_t value)
{
    SetAttribute(name, VXN_ATTR_INT64, &value, sizeof(value));
}

void VXNodePtr::SetBoolAttribute(const std::wstring& name, bool value)
{
    const std::uint8_t byte = value ? 1 : 0;
    SetAttribute(name, VXN_ATTR_BOOL, &byte, sizeof(byte));
}

void VXNodePtr::SetGuidAttribute(const std::wstring& name, const GUID& value)
{
    SetAttribute(name, VXN_ATTR_GUID, &value, sizeof(value));
}

void VXNodePtr::SetArrayAttribute(const std::wstring& name, const std::vector<std::int64_t>& elements)
{
    const void* data = elements.empty() ? nullptr : elements.data();
    SetAttribute(name, VXN_ATTR_INT64_ARRAY, data, elements.size() * sizeof(std::int64_t));
}

void VXNodePtr::SetAttribute(const std::wstring& name, std::uint16_t type, const void* value,
                             std::uint64_t size)
{
    HRX hr;
    hr = VxnSetAttribute(Required(m_node), name.c_str(), type, value, size);
}

void VXNodePtr::DeleteAttribute(const std::wstring& name, bool mustExist)
{
    const HRESULT result = VxnDeleteAttribute(Required(m_node), name.c_str());
    if (result == HR_NOT_FOUND && !mustExist)
    {
        return;
    }
    HRX hr;
    hr = result;
}

void VXNodePtr::VisitAttributeNames(void (*visit)(void* context, const wchar_t* name), void* context) const
{
    IVXNode* node = Required(m_node);
    wchar_t fixed[kFirstTextChars];
    std::wstring grown;
    wchar_t* text = fixed;
    std::uint32_t offered = kFirstTextChars;
    std::uint32_t length = offered;
    HRESULT hr = VxnGetAttributeNames(node, fixed, &length);
    while (hr == HR_INSUFFICIENT_BUFFER && length > offered)
    {
        grown.resize(length);
        text = grown.data();
        offered = length;
        hr = VxnGetAttributeNames(node, text, &length);
    }
    HRX check;
    check = hr;
    // length counts the terminator, so every name below ends in a null character.
    const wchar_t* end = text + (length == 0 ? 0 : std::min(length, offered) - 1);
    for (const wchar_t* name = text; name < end;)
    {
        const wchar_t* stop = std::find(name, end, L'\0');
        if (stop > name)
        {
            visit(context, name);
        }
        name = stop + 1;
    }
}

std::vector<std::wstring> VXNodePtr::GetAttributeNames() const
{
    IVXNode* node = Required(m_node);
    std::wstring text;
    HRX hr;
    hr = ReadText(text, [&](wchar_t* buffer, std::uint32_t* length)
                  { return VxnGetAttributeNames(node, buffer, length); });
    std::vector<std::wstring> names;
    std::size_t start = 0;
    while (start < text.size())
    {
        std::size_t end = text.find(L'\0', start);
        if (end == std::wstring::npos)
        {
            end = text.size();
        }
        if (end > start)
        {
            names.emplace_back(text, start, end - start);
        }
        start = end + 1;
    }
    return names;
}
