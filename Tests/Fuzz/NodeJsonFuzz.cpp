// The service's JSON node form: whatever parses renders, parses again to the same node (same
// text form, same rendering); whatever does not parse is refused with E_INVALIDARG and no node.
#include "FuzzSupport.h"

#include "Programs/HostCommon/NodeJson.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    HostCommon::NodeHandle node;
    std::string detail;
    const HRESULT hr = HostCommon::ParseNodeJson(text, node, detail);
    if (FAILED(hr))
    {
        FUZZ_CHECK(hr == E_INVALIDARG);
        FUZZ_CHECK(!node);
        FUZZ_CHECK(!detail.empty());
        return 0;
    }
    std::string rendered;
    FUZZ_CHECK(SUCCEEDED(HostCommon::RenderNodeJson(node.Get(), rendered)));
    HostCommon::NodeHandle again;
    FUZZ_CHECK(SUCCEEDED(HostCommon::ParseNodeJson(rendered, again, detail)));
    FUZZ_CHECK(Fuzz::Serialize(node.Get()) == Fuzz::Serialize(again.Get()));
    std::string renderedAgain;
    FUZZ_CHECK(SUCCEEDED(HostCommon::RenderNodeJson(again.Get(), renderedAgain)));
    FUZZ_CHECK(rendered == renderedAgain);
    return 0;
}
