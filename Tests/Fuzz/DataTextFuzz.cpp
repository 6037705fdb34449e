// The data layer's text form: whatever parses is written out, parsed again and written out again,
// and the two texts are the same bytes.
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    IVXNode* node = nullptr;
    std::uint64_t line = 0;
    std::uint64_t column = 0;
    HRESULT hr = VxnParseNodes(data, size, &node, &line, &column);
    if (FAILED(hr))
    {
        FUZZ_CHECK(node == nullptr);
        FUZZ_CHECK(hr != HR_INVALID_DATA || (line >= 1 && column >= 1));
        return 0;
    }
    std::string first = Fuzz::Serialize(node);
    VxnCloseNodeHandle(node);

    IVXNode* again = nullptr;
    FUZZ_CHECK(SUCCEEDED(VxnParseNodes(first.data(), first.size(), &again, &line, &column)));
    std::string second = Fuzz::Serialize(again);
    VxnCloseNodeHandle(again);
    FUZZ_CHECK(first == second);
    return 0;
}
