// The exported Vxn* functions: argument checks, locking and handle bookkeeping around the node model.
#include "Platform/Tessel/Node.h"
#include "Platform/Tessel/Xml.h"
#include "Ravlin.h"

#include <cstring>
#include <cwchar>
#include <new>

using namespace Tessel;

namespace
{
constexpr std::uint64_t kMaxParseSize = 1ull << 30;
// Writer chunks stay bounded so a consumer never receives one huge block.
constexpr std::size_t kChunkSize = 64 * 1024;

template <class F> HRESULT Guard(F&& body) noexcept
{
    try
    {
        return body();
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    catch (...)
    {
        return E_FAIL;
    }
}

// Length-checked view of a required text argument.
HRESULT CheckText(const wchar_t* text, std::size_t maxLength, std::wstring_view& view) noexcept
{
    if (text == nullptr)
    {
        return E_POINTER;
    }
    std::size_t length = wcsnlen(text, maxLength + 1);
    if (length > maxLength)
    {
        return E_INVALIDARG;
    }
    view = std::wstring_view(text, length);
    return S_OK;
}

HRESULT CheckOptionalText(const wchar_t* text, std::size_t maxLength, std::wstring_view& view) noexcept
{
    if (text == nullptr)
    {
        view = {};
        return S_OK;
    }
    return CheckText(text, maxLength, view);
}

HRESULT CopyText(std::wstring_view text, wchar_t* buffer, std::uint32_t* length) noexcept
{
    if (text.size() >= UINT32_MAX)
    {
        return HR_ARITHMETIC_OVERFLOW;
    }
    auto needed = static_cast<std::uint32_t>(text.size() + 1);
    std::uint32_t capacity = *length;
    *length = needed;
    if (buffer == nullptr || capacity < needed)
    {
        return HR_INSUFFICIENT_BUFFER;
    }
    std::wmemcpy(buffer, text.data(), text.size());
    buffer[text.size()] = L'\0';
    return S_OK;
}

std::uint64_t ClampDepth(std::uint64_t depth) noexcept
{
    return depth > VXN_DEPTH_ALL ? VXN_DEPTH_ALL : depth;
}

void PublishParseError(const ParseError& error) noexcept
{
    ICreateErrorInfo* created = nullptr;
    if (FAILED(CreateErrorInfo(&created)) || created == nullptr)
    {
        return;
    }
    try
    {
        std::wstring text = L"Invalid node text at line " + std::to_wstring(error.line) + L", column " +
                            std::to_wstring(error.column) + L": " + error.message;
        created->SetSource(L"Tessel");
        created->SetDescription(text.c_str());
        IErrorInfo* info = nullptr;
        if (SUCCEEDED(created->QueryInterface(&IID_IErrorInfo, reinterpret_cast<void**>(&info))) &&
            info != nullptr)
        {
            SetErrorInfo(0, info);
            info->Release();
        }
    }
    catch (...)
    {
    }
    created->Release();
}
} // namespace

struct IVXSerializationContext
{
};

namespace
{
class SerializationContext final : public IVXSerializationContext
{
public:
    SerializationContext(VxnSerializationWriter writer, void* writerContext)
        : m_writer(writer), m_writerContext(writerContext)
    {
    }

    HRESULT Serialize(IVXNode* const* nodes, std::uint64_t count, std::uint64_t depth)
    {
        if (HRESULT hr = CheckWritable(); FAILED(hr))
        {
            return hr;
        }
        std::string text;
        if (!m_opened)
        {
            text = "<nr>\r\n";
        }
        {
            // The text is built under the lock and written after it, so a writer may call back in.
            TreeReadLock lock(g_treeLock);
            for (std::uint64_t i = 0; i < count; ++i)
            {
                WriteNodeXml(text, FromHandle(nodes[i]), depth);
            }
        }
        m_opened = true;
        return Write(text);
    }

    HRESULT Finalize()
    {
        if (HRESULT hr = CheckWritable(); FAILED(hr))
        {
            return hr;
        }
        std::string text = m_opened ? "</nr>\r\n" : "<nr>\r\n</nr>\r\n";
        m_opened = true;
        m_finished = true;
        return Write(text);
    }

private:
    HRESULT CheckWritable() const noexcept
    {
        if (FAILED(m_failure))
        {
            return m_failure;
        }
        return m_finished ? E_UNEXPECTED : S_OK;
    }

    HRESULT Write(const std::string& text) noexcept
    {
        for (std::size_t offset = 0; offset < text.size(); offset += kChunkSize)
        {
            std::size_t size = std::min(kChunkSize, text.size() - offset);
            HRESULT hr = m_writer(text.data() + offset, size, m_writerContext);
            if (FAILED(hr))
            {
                m_failure = hr;
                return hr;
            }
        }
        return S_OK;
    }

    VxnSerializationWriter m_writer;
    void* m_writerContext;
    bool m_opened = false;
    bool m_finished = false;
    HRESULT m_failure = S_OK;
};
} // namespace

extern "C"
{
    HRESULT VxnCreateNode(const wchar_t* name, const wchar_t* type, IVXNode** node)
    {
        if (node == nullptr)
        {
            return E_POINTER;
        }
        *node = nullptr;
        std::wstring_view nameView, typeView;
        if (HRESULT hr = CheckOptionalText(name, kMaxNameLength, nameView); FAILED(hr))
        {
            return hr;
        }
        if (HRESULT hr = CheckOptionalText(type, kMaxNameLength, typeView); FAILED(hr))
        {
            return hr;
        }
        return Guard(
            [&]
            {
                *node = new Node(nameView, std::wstring(typeView));
                return S_OK;
            });
    }

    HRESULT VxnDuplicateNodeHandle(IVXNode* node, IVXNode** duplicate)
    {
        if (duplicate == nullptr)
        {
            return E_POINTER;
        }
        *duplicate = nullptr;
        if (node == nullptr)
        {
            return E_POINTER;
        }
        AddRef(FromHandle(node));
        *duplicate = node;
        return S_OK;
    }

    HRESULT VxnCloseNodeHandle(IVXNode* node)
    {
        if (node == nullptr)
        {
            return E_POINTER;
        }
        Release(FromHandle(node));
        return S_OK;
    }

    HRESULT VxnCloneNode(IVXNode* node, std::uint64_t depth, std::uint32_t flags, IVXNode** clone)
    {
        if (clone == nullptr)
        {
            return E_POINTER;
        }
        *clone = nullptr;
        if (node == nullptr)
        {
            return E_POINTER;
        }
        if (flags != 0)
        {
            return E_INVALIDARG;
        }
        return Guard(
            [&]
            {
                TreeReadLock lock(g_treeLock);
                *clone = CloneTree(FromHandle(node), ClampDepth(depth));
                return S_OK;
            });
    }

    HRESULT VxnGetNodeType(IVXNode* node, wchar_t* buffer, std::uint32_t* length)
    {
        if (node == nullptr || length == nullptr)
        {
            return E_POINTER;
        }
        TreeReadLock lock(g_treeLock);
        return CopyText(FromHandle(node)->type, buffer, length);
    }

    HRESULT VxnGetAttributeNames(IVXNode* node, wchar_t* buffer, std::uint32_t* length)
    {
        if (node == nullptr || length == nullptr)
        {
            return E_POINTER;
        }
        return Guard(
            [&]
            {
                TreeReadLock lock(g_treeLock);
                // Written straight into the caller's buffer: this runs for every attribute copy.
                const std::vector<Attribute>& attributes = FromHandle(node)->attributes;
                std::uint64_t needed = 1;
                for (const Attribute& attribute : attributes)
                {
                    needed += attribute.Name().size() + (&attribute == &attributes.front() ? 0 : 1);
                }
                if (needed > UINT32_MAX)
                {
                    return HR_ARITHMETIC_OVERFLOW;
                }
                const std::uint32_t capacity = *length;
                *length = static_cast<std::uint32_t>(needed);
                if (buffer == nullptr || capacity < needed)
                {
                    return HR_INSUFFICIENT_BUFFER;
                }
                wchar_t* out = buffer;
                for (const Attribute& attribute : attributes)
                {
                    if (out != buffer)
                    {
                        *out++ = L'\0';
                    }
                    const std::wstring_view attributeName = attribute.Name();
                    out =
                        std::wmemcpy(out, attributeName.data(), attributeName.size()) + attributeName.size();
                }
                *out = L'\0';
                return S_OK;
            });
    }

    HRESULT VxnGetNodeName(IVXNode* node, std::uint32_t kind, wchar_t* buffer, std::uint32_t* length)
    {
        if (node == nullptr || length == nullptr)
        {
            return E_POINTER;
        }
        if (kind != VXN_NAME_OWN && kind != VXN_NAME_FULL_PATH)
        {
            return E_INVALIDARG;
        }
        return Guard(
            [&]
            {
                TreeReadLock lock(g_treeLock);
                const Node* n = FromHandle(node);
                if (kind == VXN_NAME_OWN)
                {
                    return CopyText(n->name, buffer, length);
                }
                return CopyText(FullPath(n), buffer, length);
            });
    }

    HRESULT VxnSetNodeName(IVXNode* node, std::uint32_t kind, const wchar_t* name)
    {
        if (node == nullptr)
        {
            return E_POINTER;
        }
        if (kind != VXN_NAME_OWN && kind != VXN_NAME_FULL_PATH)
        {
            return E_INVALIDARG;
        }
        std::wstring_view text;
        if (HRESULT hr = CheckText(name, kind == VXN_NAME_OWN ? kMaxNameLength : kMaxPathLength, text);
            FAILED(hr))
        {
            return hr;
        }
        return Guard(
            [&]
            {
                Node* n = FromHandle(node);
                if (kind == VXN_NAME_OWN)
                {
                    TreeWriteLock lock(g_treeLock);
                    Rename(n, text);
                    return S_OK;
                }
                std::size_t slash = text.rfind(L'\\');
                if (slash == std::wstring_view::npos || text.size() - slash - 1 > kMaxNameLength)
                {
                    return E_INVALIDARG;
                }
                std::wstring prefix(text.substr(0, slash));
                std::wstring_view last = text.substr(slash + 1);
                NameText lastText(last);
                TreeWriteLock lock(g_treeLock);
                if (n->parent == nullptr)
                {
                    n->rootPrefix.swap(prefix);
                    n->name.Swap(lastText);
                    return S_OK;
                }
                // An attached node's path follows from its parent: only a path that renaming can
                // produce is accepted.
                std::wstring resulting = FullPath(n->parent);
                AppendPathComponent(resulting, last);
                if (resulting != text)
                {
                    return E_INVALIDARG;
                }
                Rename(n, last);
                return S_OK;
            });
    }

    HRESULT VxnGetChildCount(IVXNode* node, std::uint64_t* count)
    {
        if (node == nullptr || count == nullptr)
        {
            return E_POINTER;
        }
        TreeReadLock lock(g_treeLock);
        *count = FromHandle(node)->children.Size();
        return S_OK;
    }

    HRESULT VxnGetChildByIndex(IVXNode* node, std::uint64_t index, IVXNode** child)
    {
        if (child == nullptr)
        {
            return E_POINTER;
        }
        *child = nullptr;
        if (node == nullptr)
        {
            return E_POINTER;
        }
        TreeReadLock lock(g_treeLock);
        const Node* n = FromHandle(node);
        if (index >= n->children.Size())
        {
            return HR_NOT_FOUND;
        }
        Node* found = n->children.At(static_cast<std::size_t>(index));
        AddRef(found);
        *child = found;
        return S_OK;
    }

    HRESULT VxnGetChildByName(IVXNode* node, const wchar_t* name, IVXNode** child)
    {
        if (child == nullptr)
        {
            return E_POINTER;
        }
        *child = nullptr;
        if (node == nullptr)
        {
            return E_POINTER;
        }
        std::wstring_view view;
        if (HRESULT hr = CheckText(name, kMaxNameLength, view); FAILED(hr))
        {
            return hr;
        }
        TreeReadLock lock(g_treeLock);
        Node* found = FindChild(FromHandle(node), view);
        if (found == nullptr)
        {
            return HR_NOT_FOUND;
        }
        AddRef(found);
        *child = found;
        return S_OK;
    }

    HRESULT VxnGetParent(IVXNode* node, IVXNode** parent)
    {
        if (parent == nullptr)
        {
            return E_POINTER;
        }
        *parent = nullptr;
        if (node == nullptr)
        {
            return E_POINTER;
        }
        TreeReadLock lock(g_treeLock);
        Node* p = FromHandle(node)->parent;
        // A parent whose last reference is gone is being destroyed: the node is detached already.
        if (p == nullptr || !TryAddRef(p))
        {
            return S_FALSE;
        }
        *parent = p;
        return S_OK;
    }

    HRESULT VxnAddChild(IVXNode* parent, IVXNode* child)
    {
        if (parent == nullptr || child == nullptr)
        {
            return E_POINTER;
        }
        return Guard(
            [&]
            {
                Node* p = FromHandle(parent);
                Node* c = FromHandle(child);
                TreeWriteLock lock(g_treeLock);
                // A childless node can only be its own ancestor; skipping the walk keeps building deep chains
                // linear.
                if (c == p || (c->children.Size() != 0 && IsSelfOrAncestor(c, p)))
                {
                    return E_INVALIDARG;
                }
                PrepareLink(p);
                if (c->parent != nullptr)
                {
                    // A move: the old parent's reference becomes the new parent's.
                    Node* old = c->parent;
                    UnlinkChild(old, old->children.IndexOf(c));
                }
                else
                {
                    AddRef(c);
                }
                LinkChild(p, c);
                return S_OK;
            });
    }

    HRESULT VxnRemoveChildByIndex(IVXNode* node, std::uint64_t index)
    {
        if (node == nullptr)
        {
            return E_POINTER;
        }
        TreeWriteLock lock(g_treeLock);
        Node* n = FromHandle(node);
        if (index >= n->children.Size())
        {
            return HR_NOT_FOUND;
        }
        Node* removed = UnlinkChild(n, static_cast<std::size_t>(index));
        ReleaseLocked(removed);
        return S_OK;
    }

    HRESULT VxnSetAttribute(IVXNode* node, const wchar_t* name, std::uint16_t type, const void* value,
                            std::uint64_t size)
    {
        if (node == nullptr)
        {
            return E_POINTER;
        }
        std::wstring_view nameView;
        if (HRESULT hr = CheckText(name, kMaxNameLength, nameView); FAILED(hr))
        {
            return hr;
        }
        if (nameView.empty() || size > kMaxAttributeSize)
        {
            return E_INVALIDARG;
        }
        if (value == nullptr && size != 0)
        {
            return E_POINTER;
        }
        if (HRESULT hr = CheckAttributeValue(type, value, size); FAILED(hr))
        {
            return hr;
        }
        return Guard(
            [&]
            {
                // Made before the lock is taken; a replaced value leaves with it after the lock.
                Attribute added(nameView, type, value, static_cast<std::size_t>(size));
                Node* n = FromHandle(node);
                TreeWriteLock lock(g_treeLock);
                if (Attribute* existing = FindAttribute(n, nameView))
                {
                    existing->Swap(added);
                    return S_OK;
                }
                std::vector<Attribute>& attributes = n->attributes;
                if (attributes.size() == attributes.capacity())
                {
                    // Nodes rarely hold one attribute only: skip the smallest steps of growth.
                    attributes.reserve(std::max<std::size_t>(4, attributes.capacity() * 2));
                }
                attributes.push_back(std::move(added));
                return S_OK;
            });
    }

    HRESULT VxnGetAttribute(IVXNode* node, const wchar_t* name, const std::uint16_t* expectedType,
                            void* buffer, std::uint64_t* size, std::uint16_t* type)
    {
        if (node == nullptr)
        {
            return E_POINTER;
        }
        std::wstring_view nameView;
        if (HRESULT hr = CheckText(name, kMaxNameLength, nameView); FAILED(hr))
        {
            return hr;
        }
        if (buffer != nullptr && size == nullptr)
        {
            return E_POINTER;
        }
        TreeReadLock lock(g_treeLock);
        const Attribute* attribute = FindAttribute(FromHandle(node), nameView);
        if (attribute == nullptr)
        {
            return HR_NOT_FOUND;
        }
        const std::uint64_t stored = attribute->Size();
        std::uint64_t capacity = size != nullptr ? *size : 0;
        if (size != nullptr)
        {
            *size = stored;
        }
        if (type != nullptr)
        {
            *type = attribute->Type();
        }
        if (expectedType != nullptr && *expectedType != attribute->Type())
        {
            return HR_INVALID_DATA;
        }
        if (buffer == nullptr)
        {
            return S_OK;
        }
        if (capacity < stored)
        {
            return HR_INSUFFICIENT_BUFFER;
        }
        if (stored != 0)
        {
            std::memcpy(buffer, attribute->Value(), static_cast<std::size_t>(stored));
        }
        return S_OK;
    }

    HRESULT VxnDeleteAttribute(IVXNode* node, const wchar_t* name)
    {
        if (node == nullptr)
        {
            return E_POINTER;
        }
        std::wstring_view nameView;
        if (HRESULT hr = CheckText(name, kMaxNameLength, nameView); FAILED(hr))
        {
            return hr;
        }
        Node* n = FromHandle(node);
        Attribute removed;
        {
            TreeWriteLock lock(g_treeLock);
            Attribute* attribute = FindAttribute(n, nameView);
            if (attribute == nullptr)
            {
                return HR_NOT_FOUND;
            }
            // Free the value outside the lock.
            removed = std::move(*attribute);
            n->attributes.erase(n->attributes.begin() + (attribute - n->attributes.data()));
        }
        return S_OK;
    }

    HRESULT VxnStartSerialization(std::uint32_t format, std::uint32_t flags, VxnSerializationWriter writer,
                                  void* writerContext, IVXSerializationContext** context)
    {
        (void)flags; // the text form is the same for every flag combination
        if (context == nullptr)
        {
            return E_POINTER;
        }
        *context = nullptr;
        if (writer == nullptr)
        {
            return E_POINTER;
        }
        if (format != VXN_SERIALIZATION_XML)
        {
            return E_INVALIDARG;
        }
        return Guard(
            [&]
            {
                *context = new SerializationContext(writer, writerContext);
                return S_OK;
            });
    }

    HRESULT VxnSerializeNodes(IVXSerializationContext* context, IVXNode* const* nodes, std::uint64_t count,
                              std::uint64_t depth)
    {
        if (context == nullptr || (nodes == nullptr && count != 0))
        {
            return E_POINTER;
        }
        for (std::uint64_t i = 0; i < count; ++i)
        {
            if (nodes[i] == nullptr)
            {
                return E_POINTER;
            }
        }
        return Guard(
            [&] {
                return static_cast<SerializationContext*>(context)->Serialize(nodes, count,
                                                                              ClampDepth(depth));
            });
    }

    HRESULT VxnFinalizeSerialization(IVXSerializationContext* context)
    {
        if (context == nullptr)
        {
            return E_POINTER;
        }
        return Guard([&] { return static_cast<SerializationContext*>(context)->Finalize(); });
    }

    HRESULT VxnCloseSerializationContext(IVXSerializationContext* context)
    {
        delete static_cast<SerializationContext*>(context);
        return S_OK;
    }

    HRESULT VxnParseNodes(const void* text, std::uint64_t size, IVXNode** node, std::uint64_t* errorLine,
                          std::uint64_t* errorColumn)
    {
        if (errorLine != nullptr)
        {
            *errorLine = 0;
        }
        if (errorColumn != nullptr)
        {
            *errorColumn = 0;
        }
        if (node == nullptr)
        {
            return E_POINTER;
        }
        *node = nullptr;
        if (text == nullptr && size != 0)
        {
            return E_POINTER;
        }
        if (size > kMaxParseSize)
        {
            return E_INVALIDARG;
        }
        return Guard(
            [&]
            {
                ParseError error;
                Node* root = nullptr;
                std::string_view view(static_cast<const char*>(text), static_cast<std::size_t>(size));
                HRESULT hr = ParseNodesXml(view, &root, error);
                if (hr == HR_INVALID_DATA)
                {
                    if (errorLine != nullptr)
                    {
                        *errorLine = error.line;
                    }
                    if (errorColumn != nullptr)
                    {
                        *errorColumn = error.column;
                    }
                    PublishParseError(error);
                }
                if (SUCCEEDED(hr))
                {
                    *node = root;
                }
                return hr;
            });
    }
}
