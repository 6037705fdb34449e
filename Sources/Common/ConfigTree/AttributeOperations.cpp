#include "Common/ConfigTree/AttributeOperations.h"

#include "Common/ErrorHandling/HResult.h"
#include "Platform/Core/Text.h"

#include <algorithm>
#include <cstring>

void WriteRawAttribute(const VXNodePtr& node, AttributeName name, std::uint16_t type,
                       const std::vector<std::uint8_t>& bytes)
{
    if (!node.IsValid())
    {
        RaiseHResult(E_POINTER);
    }
    HRX hr;
    hr =
        VxnSetAttribute(node.Get(), name.c_str(), type, bytes.empty() ? nullptr : bytes.data(), bytes.size());
}

namespace
{
// The raw read, optionally of one expected type code (another code is the data layer's failure).
bool ReadAttributeBytes(AttributeName name, const VXNodePtr& node, const std::uint16_t* expectedType,
                        std::vector<std::uint8_t>& buffer, std::uint16_t& type)
{
    if (!node.IsValid())
    {
        RaiseHResult(E_POINTER);
    }
    buffer.resize(std::max<std::size_t>(buffer.capacity(), 128));
    for (;;)
    {
        std::uint64_t size = buffer.size();
        HRESULT hr = VxnGetAttribute(node.Get(), name.c_str(), expectedType, buffer.data(), &size, &type);
        if (hr == HR_INSUFFICIENT_BUFFER && size > buffer.size())
        {
            buffer.resize(static_cast<std::size_t>(size));
            continue;
        }
        if (hr == HR_NOT_FOUND)
        {
            buffer.clear();
            return false;
        }
        HRX check;
        check = hr;
        buffer.resize(static_cast<std::size_t>(size));
        return true;
    }
}
} // namespace

bool ReadRawAttribute(AttributeName name, const VXNodePtr& node, std::vector<std::uint8_t>& buffer,
                      std::uint16_t& type)
{
    return ReadAttributeBytes(name, node, nullptr, buffer, type);
}

TRawAttribute ReadRawAttribute(AttributeName name, const VXNodePtr& node)
{
    TRawAttribute value;
    if (!ReadRawAttribute(name, node, value.bytes, value.type))
    {
        RaiseHResult(HR_NOT_FOUND);
    }
    return value;
}

bool RawAttributesEqual(std::uint16_t typeA, const std::vector<std::uint8_t>& a, std::uint16_t typeB,
                        const std::vector<std::uint8_t>& b)
{
    if (typeA != typeB || a.size() != b.size())
    {
        return false;
    }
    return a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0;
}

bool RawAttributesEqual(const TRawAttribute& a, const TRawAttribute& b)
{
    return RawAttributesEqual(a.type, a.bytes, b.type, b.bytes);
}

void CopyAttribute(AttributeName sourceName, const VXNodePtr& source, AttributeName destinationName,
                   const VXNodePtr& destination, std::vector<std::uint8_t>& scratch, bool* changed,
                   bool mustExist)
{
    std::uint16_t type = 0;
    if (!ReadRawAttribute(sourceName, source, scratch, type))
    {
        if (mustExist)
        {
            RaiseHResult(HR_NOT_FOUND);
        }
        return;
    }
    if (changed != nullptr)
    {
        std::vector<std::uint8_t> current;
        std::uint16_t currentType = 0;
        if (ReadRawAttribute(destinationName, destination, current, currentType) &&
            RawAttributesEqual(type, scratch, currentType, current))
        {
            *changed = false;
            return;
        }
        *changed = true;
    }
    WriteRawAttribute(destination, destinationName, type, scratch);
}

void CopyAttribute(AttributeName name, const VXNodePtr& source, const VXNodePtr& destination,
                   std::vector<std::uint8_t>& scratch, bool* changed, bool mustExist)
{
    CopyAttribute(name, source, name, destination, scratch, changed, mustExist);
}

bool GetStringListAttribute(const VXNodePtr& node, const std::wstring& name, std::vector<std::wstring>& list)
{
    std::vector<std::uint8_t> buffer;
    std::uint16_t type = 0;
    const std::uint16_t textArray = VXN_ATTR_STRING_ARRAY;
    if (!ReadAttributeBytes(name, node, &textArray, buffer, type))
    {
        return false;
    }
    std::wstring text = Platform::FromUtf16Le(buffer.data(), buffer.size());
    list.clear();
    if (text.empty())
    {
        return true;
    }
    text.pop_back();
    std::size_t start = 0;
    for (;;)
    {
        std::size_t nul = text.find(L'\0', start);
        if (nul == std::wstring::npos)
        {
            list.push_back(text.substr(start));
            break;
        }
        list.push_back(text.substr(start, nul - start));
        start = nul + 1;
    }
    return true;
}
