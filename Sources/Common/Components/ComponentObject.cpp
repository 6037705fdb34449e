#include "Common/Components/ComponentObject.h"

#include <cstdlib>
#include <cstring>

namespace Components::Detail
{
void* AllocateZeroed(std::size_t size)
{
    void* memory = ::operator new(size);
    std::memset(memory, 0, size);
    return memory;
}

void Free(void* memory) noexcept
{
    ::operator delete(memory);
}

std::string MakeObjectTag(std::string_view signature)
{
    std::string_view name = signature;
    constexpr std::string_view marker = "T = ";
    if (auto start = signature.find(marker); start != std::string_view::npos)
    {
        name = signature.substr(start + marker.size());
        // Template arguments of T itself may contain ';' or ']' only inside angle brackets.
        int depth = 0;
        std::size_t end = 0;
        for (; end < name.size(); ++end)
        {
            char c = name[end];
            if (c == '<')
            {
                ++depth;
            }
            else if (c == '>')
            {
                --depth;
            }
            else if ((c == ';' || c == ']') && depth == 0)
            {
                break;
            }
        }
        name = name.substr(0, end);
    }
    std::string tag = "CComponentObject<class ";
    tag.append(name);
    tag += ">::CComponentObject";
    return tag;
}
} // namespace Components::Detail
