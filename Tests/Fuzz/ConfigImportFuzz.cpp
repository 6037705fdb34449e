// The configuration server's import and export. The first input byte chooses a starting tree and
// whether a store fault is armed; the rest is imported. A failed import leaves the export byte for
// byte as it was; a successful one is idempotent, and its export imported into a fresh server
// exports the same bytes.
#include "ConfigServer.h"
#include "FuzzSupport.h"
#include "InterfacePtr.h"

namespace
{
const char* const kStartingTrees[] = {
    nullptr,
    "<node name=\"\"><node name=\"Settings\" type=\"Folder\"><attr name=\"Password\" code=\"2\">x</attr>"
    "<node name=\"A\"/><node name=\"A\"/></node></node>",
    "<node name=\"\"><node name=\"Settings\"><node name=\"Reports\"><attr name=\"Port\" "
    "code=\"3\">1433</attr>"
    "</node></node><node name=\"Other\" type=\"T\"/></node>",
};

struct Server
{
    Server() { FUZZ_CHECK(SUCCEEDED(ConfigServerCreate(L"memory:", proxy.Out()))); }
    ~Server() { ConfigServerShutdown(proxy.Get()); }
    HRESULT Import(std::string_view text)
    {
        return ConfigServerImportText(proxy.Get(), text.data(), text.size());
    }
    std::string Export()
    {
        std::string text;
        FUZZ_CHECK(SUCCEEDED(ConfigServerExportText(proxy.Get(), &Fuzz::AppendChunk, &text)));
        return text;
    }
    Components::InterfacePtr<IConfigServerProxy> proxy;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Fuzz::Input input(data, size);
    const std::uint8_t choice = input.Byte();
    const std::string_view text = input.Rest();

    Server server;
    if (const char* start = kStartingTrees[choice % std::size(kStartingTrees)])
    {
        FUZZ_CHECK(SUCCEEDED(server.Import(start)));
    }
    std::string before = server.Export();
    if (choice & 0x80)
    {
        FUZZ_CHECK(SUCCEEDED(ConfigServerInjectFault(server.proxy.Get(), L"StoreWrite", 1, E_FAIL)));
        const HRESULT faulted = server.Import(text);
        FUZZ_CHECK(SUCCEEDED(ConfigServerClearFaults(server.proxy.Get())));
        if (FAILED(faulted))
        {
            FUZZ_CHECK(server.Export() == before);
        }
        else
        {
            before = server.Export(); // nothing reached the store, or no write was needed
        }
    }
    const HRESULT hr = server.Import(text);
    const std::string imported = server.Export();
    if (FAILED(hr))
    {
        FUZZ_CHECK(imported == before);
        return 0;
    }
    FUZZ_CHECK(SUCCEEDED(server.Import(text)));
    FUZZ_CHECK(server.Export() == imported);

    Server fresh;
    FUZZ_CHECK(SUCCEEDED(fresh.Import(imported)));
    FUZZ_CHECK(fresh.Export() == imported);
    return 0;
}
