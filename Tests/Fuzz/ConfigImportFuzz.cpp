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

class Server
{
public:
    Server() { FUZZ_CHECK(SUCCEEDED(ConfigServerCreate(L"memory:", m_proxy.Out()))); }
    ~Server() { ConfigServerShutdown(m_proxy.Get()); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    HRESULT Import(std::string_view text)
    {
        return ConfigServerImportText(m_proxy.Get(), text.data(), text.size());
    }
    std::string Export()
    {
        std::string text;
        FUZZ_CHECK(SUCCEEDED(ConfigServerExportText(m_proxy.Get(), &Fuzz::AppendChunk, &text)));
        return text;
    }
    void ArmStoreFault(std::uint32_t nth)
    {
        FUZZ_CHECK(SUCCEEDED(ConfigServerInjectFault(m_proxy.Get(), L"StoreWrite", nth, E_FAIL)));
    }
    void ClearFaults() { FUZZ_CHECK(SUCCEEDED(ConfigServerClearFaults(m_proxy.Get()))); }

private:
    Components::InterfacePtr<IConfigServerProxy> m_proxy;
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
        server.ArmStoreFault(1);
        const HRESULT faulted = server.Import(text);
        server.ClearFaults();
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
