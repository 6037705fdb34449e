// Shared pieces of the fuzz targets: a reader that takes structure from the input bytes, a check
// that aborts (so libFuzzer and the replay programs report it as a finding), and the data layer's
// text form as a byte string.
#pragma once

#include "Tessel.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#define FUZZ_CHECK(condition) ((condition) ? void() : ::Fuzz::Fail(#condition, __FILE__, __LINE__))

namespace Fuzz
{
[[noreturn]] inline void Fail(const char* what, const char* file, int line)
{
    std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, what);
    std::abort();
}

// Reads structure from the front of the input; an exhausted input answers zeros and empty text.
class Input
{
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    bool Empty() const { return m_size == 0; }
    std::uint8_t Byte() { return m_size == 0 ? 0 : (--m_size, *m_data++); }
    // A number in [0, limit).
    std::uint32_t Below(std::uint32_t limit) { return limit == 0 ? 0 : Byte() % limit; }
    std::string_view Bytes(std::size_t count)
    {
        count = count < m_size ? count : m_size;
        std::string_view taken(reinterpret_cast<const char*>(m_data), count);
        m_data += count;
        m_size -= count;
        return taken;
    }
    // Up to the next line feed (dropped) or the end.
    std::string_view Line()
    {
        std::string_view rest(reinterpret_cast<const char*>(m_data), m_size);
        std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        Bytes(end == std::string_view::npos ? m_size : end + 1);
        return line;
    }
    std::string_view Rest() { return Bytes(m_size); }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
};

inline HRESULT AppendChunk(const void* data, std::uint64_t size, void* context)
{
    static_cast<std::string*>(context)->append(static_cast<const char*>(data),
                                               static_cast<std::size_t>(size));
    return S_OK;
}

// The whole subtree of node in serialization format 1.
inline std::string Serialize(IVXNode* node)
{
    std::string text;
    IVXSerializationContext* context = nullptr;
    FUZZ_CHECK(SUCCEEDED(VxnStartSerialization(1, 0, &AppendChunk, &text, &context)));
    FUZZ_CHECK(SUCCEEDED(VxnSerializeNodes(context, &node, 1, 0x7FFFFFFF)) &&
               SUCCEEDED(VxnFinalizeSerialization(context)));
    VxnCloseSerializationContext(context);
    return text;
}
} // namespace Fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
