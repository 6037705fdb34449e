// rsmctl: the command-line client of rsmd.
#include "Programs/HostCommon/HostText.h"
#include "Programs/HostCommon/NodeJson.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace
{
using Json = nlohmann::json;
using HostCommon::NodeHandle;

constexpr char kUsage[] = R"(Usage: rsmctl [--server URL] [--token-file FILE] [--json] COMMAND [ARGS]

Talks to rsmd (default server http://127.0.0.1:8470, or $RSMCTL_SERVER).

Commands:
  connection TYPE          connection settings of one type (a name such as Pentrel, or a number)
  common [--mode 0|1]      the common connection settings (1: only when enabled)
  products TYPES           products settings of the types (names or numbers joined by ',')
  enable TYPE on|off       switches reporting of a product area on or off
  watch [--types TYPES]    prints each settings change as it arrives, until interrupted
  get PATH [--depth N]     a node of the configuration tree
  put FILE|-               stores a node (JSON form or the tree text form) at its full path
  rm PATH                  removes a node and its subtree
  export [FILE]            the whole tree in text form
  import FILE              merges a tree in text form into the store
  health                   whether the service answers

Options:
  --server URL       the service (also $RSMCTL_SERVER)
  --token-file FILE  sends the bearer token in FILE (also $RSMCTL_TOKEN_FILE)
  --json             JSON output instead of text
  --help             this text; "rsmctl COMMAND --help" describes a command

Exit status: 0 on success; 1 on failure, with the HRESULT and its message on standard error.
)";

const std::map<std::string, std::string> kCommandHelp = {
    {"connection",
     "Usage: rsmctl connection TYPE\n\nPrints the connection settings container of one reporting "
     "settings type.\nTYPE is a name (Common, Containers, Quorl, Pentrel, Dorv, Tavrin, Lumic, "
     "Skellan, Orvane) or a number.\n"},
    {"common",
     "Usage: rsmctl common [--mode 0|1]\n\nPrints the common connection settings. Mode 1 gives them only "
     "when they are enabled.\n"},
    {"products",
     "Usage: rsmctl products TYPES\n\nPrints the products settings of the types: a number, or names "
     "and numbers joined by ','.\n"},
    {"enable",
     "Usage: rsmctl enable TYPE on|off\n\nSwitches reporting of a product area (Pentrel, Dorv, Tavrin, "
     "Lumic, Skellan, Orvane) on or off.\n"},
    {"watch",
     "Usage: rsmctl watch [--types TYPES]\n\nPrints one line per settings event as it arrives, until "
     "interrupted. TYPES defaults to every type.\n"},
    {"get",
     "Usage: rsmctl get PATH [--depth N]\n\nPrints the node at PATH (for instance '\\Settings\\Products') "
     "with N levels below it (default: all).\n"},
    {"put",
     "Usage: rsmctl put FILE|-\n\nStores the node in FILE (or standard input) at its full path, merged into "
     "what is there.\nThe node is in the JSON form (it starts with '{') or in the tree text form.\n"},
    {"rm", "Usage: rsmctl rm PATH\n\nRemoves the node at PATH and everything below it.\n"},
    {"export",
     "Usage: rsmctl export [FILE]\n\nWrites the whole tree in text form to FILE or standard output.\n"},
    {"import",
     "Usage: rsmctl import FILE\n\nMerges the tree in FILE (text form, as export writes it) into the "
     "store in one commit.\n"},
    {"health", "Usage: rsmctl health\n\nAsks whether the service answers.\n"},
};

struct Failure
{
    HRESULT hr;
    std::string message;
    std::string detail;
};

int Report(const Failure& f)
{
    std::cerr << "rsmctl: " << HostCommon::HResultHex(f.hr) << " " << f.message;
    if (!f.detail.empty())
    {
        std::cerr << " (" << f.detail << ")";
    }
    std::cerr << std::endl;
    return 1;
}

int Usage(const std::string& detail)
{
    return Report({E_INVALIDARG, HostCommon::MessageText(E_INVALIDARG), detail + "; see rsmctl --help"});
}

struct Context
{
    std::string server = "http://127.0.0.1:8470";
    std::string token;
    bool json = false;
};

class Connection
{
public:
    explicit Connection(const Context& context) : m_context(context), m_client(context.server)
    {
        m_client.set_connection_timeout(5);
        m_client.set_read_timeout(60);
        m_client.set_write_timeout(60);
        if (!context.token.empty())
        {
            m_client.set_bearer_token_auth(context.token);
        }
    }

    // The body of a successful answer, or the failure the service (or the connection) gave.
    bool Call(const std::string& method, const std::string& path, const std::string& body,
              const std::string& contentType, std::string& answer, Failure& failure)
    {
        httplib::Result result = method == "GET"    ? m_client.Get(path)
                                 : method == "PUT"  ? m_client.Put(path, body, contentType)
                                 : method == "POST" ? m_client.Post(path, body, contentType)
                                                    : m_client.Delete(path);
        if (!result)
        {
            failure = Unreachable(result.error());
            return false;
        }
        answer = result->body;
        if (result->status >= 200 && result->status < 300)
        {
            return true;
        }
        failure = FromAnswer(result->status, answer);
        return false;
    }

    // Streams a GET; receiver gets the bytes as they arrive.
    bool Stream(const std::string& path, const std::function<bool(const char*, std::size_t)>& receiver,
                Failure& failure)
    {
        int status = 0;
        std::string errorBody;
        httplib::Result result = m_client.Get(
            path, httplib::Headers{},
            [&](const httplib::Response& response)
            {
                status = response.status;
                return true;
            },
            [&](const char* data, std::size_t size)
            {
                if (status != 200)
                {
                    errorBody.append(data, size);
                    return true;
                }
                return receiver(data, size);
            });
        if (!result)
        {
            if (result.error() == httplib::Error::Canceled)
            {
                return true;
            }
            failure = Unreachable(result.error());
            return false;
        }
        if (result->status != 200)
        {
            failure = FromAnswer(result->status, errorBody.empty() ? result->body : errorBody);
            return false;
        }
        return true;
    }

private:
    Failure Unreachable(httplib::Error error) const
    {
        const HRESULT hr = error == httplib::Error::Connection ? MakeHr(0x800704C9) : MakeHr(0x800705B4);
        return {hr, HostCommon::MessageText(hr),
                "cannot reach " + m_context.server + ": " + httplib::to_string(error)};
    }

    static Failure FromAnswer(int status, const std::string& body)
    {
        const Json value = Json::parse(body, nullptr, false);
        if (value.is_object() && value.contains("error") && value["error"].is_object())
        {
            const Json& e = value["error"];
            const std::string code = e.value("hresult", "0x80004005");
            const HRESULT hr = static_cast<HRESULT>(std::strtoul(code.c_str(), nullptr, 16));
            return {hr, e.value("message", HostCommon::MessageText(hr)), e.value("detail", "")};
        }
        return {E_FAIL, HostCommon::MessageText(E_FAIL), "HTTP status " + std::to_string(status)};
    }

    const Context& m_context;
    httplib::Client m_client;
};

HRESULT AppendToString(const void* data, std::uint64_t size, void* context)
{
    static_cast<std::string*>(context)->append(static_cast<const char*>(data),
                                               static_cast<std::size_t>(size));
    return S_OK;
}

// The tree text form of a node given in the JSON form.
bool TextForm(const std::string& json, std::string& text, Failure& failure)
{
    NodeHandle node;
    std::string detail;
    HRESULT hr = HostCommon::ParseNodeJson(json, node, detail);
    IVXSerializationContext* context = nullptr;
    if (SUCCEEDED(hr))
    {
        hr = VxnStartSerialization(VXN_SERIALIZATION_XML, 0, AppendToString, &text, &context);
    }
    if (SUCCEEDED(hr))
    {
        IVXNode* nodes[] = {node.Get()};
        hr = VxnSerializeNodes(context, nodes, 1, VXN_DEPTH_ALL);
        if (SUCCEEDED(hr))
        {
            hr = VxnFinalizeSerialization(context);
        }
        VxnCloseSerializationContext(context);
    }
    if (FAILED(hr))
    {
        failure = {hr, HostCommon::MessageText(hr), "the answer is not a node: " + detail};
        return false;
    }
    return true;
}

std::string UrlEncode(const std::string& text)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text)
    {
        if (std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.' || c == '~')
        {
            out += static_cast<char>(c);
        }
        else
        {
            out += '%';
            out += kDigits[c >> 4];
            out += kDigits[c & 0xF];
        }
    }
    return out;
}

bool ReadInput(const std::string& name, std::string& content, Failure& failure)
{
    if (name == "-")
    {
        content.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return true;
    }
    std::ifstream file(name, std::ios::binary);
    if (!file)
    {
        failure = {MakeHr(0x80070002), HostCommon::MessageText(MakeHr(0x80070002)), "cannot read " + name};
        return false;
    }
    content.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

// One line for a settings event: the time, the type, and each connection settings entry as
// name=value pairs (passwords masked).
std::string Summary(const Json& event)
{
    const std::uint32_t type = event.value("type", 0u);
    const char* name = HostCommon::TypeName(type);
    char when[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(when, sizeof(when), "%H:%M:%S", std::localtime(&now));
    std::string line = std::string(when) + " " + (name != nullptr ? name : "type") + " (" +
                       std::to_string(type) + ")" + (event.value("periodic", false) ? " periodic" : "") + ":";
    const Json& settings = event["settings"];
    if (!settings.is_object() || !settings.contains("children") || settings["children"].empty())
    {
        return line + " no connection settings";
    }
    bool firstEntry = true;
    for (const Json& entry : settings["children"])
    {
        line += firstEntry ? " " : " | ";
        firstEntry = false;
        bool firstAttribute = true;
        for (const Json& attribute : entry.value("attributes", Json::array()))
        {
            const std::string attributeName = attribute.value("name", "");
            std::string value = attribute.contains("value") ? attribute["value"].dump() : "";
            if (attribute["value"].is_string())
            {
                value = attribute["value"].get<std::string>();
            }
            if (attributeName.find("Password") != std::string::npos)
            {
                value = "***";
            }
            line += (firstAttribute ? "" : " ") + attributeName + "=" + value;
            firstAttribute = false;
        }
    }
    return line;
}

int Run(const Context& context, const std::string& command, const std::vector<std::string>& args)
{
    Connection connection(context);
    std::string answer;
    Failure failure{};
    // Prints an answer that is a node: as it came with --json, else in the tree text form.
    auto printNode = [&]() -> int
    {
        if (context.json)
        {
            std::cout << answer << std::endl;
            return 0;
        }
        std::string text;
        if (!TextForm(answer, text, failure))
        {
            return Report(failure);
        }
        std::cout << text;
        return 0;
    };
    auto call = [&](const std::string& method, const std::string& path, const std::string& body = {},
                    const std::string& contentType = "application/json")
    { return connection.Call(method, path, body, contentType, answer, failure); };
    auto option = [&](const std::string& name, std::string& value, std::vector<std::string>& rest) -> bool
    {
        for (std::size_t i = 0; i < args.size(); ++i)
        {
            if (args[i] == name)
            {
                if (i + 1 >= args.size())
                {
                    return false;
                }
                value = args[i + 1];
                ++i;
                continue;
            }
            rest.push_back(args[i]);
        }
        return true;
    };
    std::vector<std::string> rest;

    if (command == "health")
    {
        if (!args.empty())
        {
            return Usage("health takes no arguments");
        }
        if (!call("GET", "/v1/health"))
        {
            return Report(failure);
        }
        std::cout << (context.json ? answer
                                   : "ok " + Json::parse(answer, nullptr, false).value("manager", ""))
                  << std::endl;
        return 0;
    }
    if (command == "connection")
    {
        if (args.size() != 1)
        {
            return Usage("connection takes one TYPE");
        }
        return call("GET", "/v1/connection-settings/" + UrlEncode(args[0])) ? printNode() : Report(failure);
    }
    if (command == "common")
    {
        std::string mode = "0";
        if (!option("--mode", mode, rest) || !rest.empty())
        {
            return Usage("common takes [--mode 0|1]");
        }
        return call("GET", "/v1/connection-settings/common?mode=" + UrlEncode(mode)) ? printNode()
                                                                                     : Report(failure);
    }
    if (command == "products")
    {
        if (args.size() != 1)
        {
            return Usage("products takes TYPES");
        }
        return call("GET", "/v1/products-settings?types=" + UrlEncode(args[0])) ? printNode()
                                                                                : Report(failure);
    }
    if (command == "enable")
    {
        if (args.size() != 2 || (args[1] != "on" && args[1] != "off"))
        {
            return Usage("enable takes TYPE on|off");
        }
        const bool on = args[1] == "on";
        if (!call("PUT", "/v1/areas/" + UrlEncode(args[0]) + "/enabled",
                  std::string("{\"enabled\":") + (on ? "true" : "false") + "}"))
        {
            return Report(failure);
        }
        if (context.json)
        {
            std::cout << answer << std::endl;
            return 0;
        }
        std::uint32_t type = 0;
        HostCommon::ParseType(args[0], type);
        const char* name = HostCommon::TypeName(type);
        std::cout << (name != nullptr ? name : args[0]) << " (" << type << "): reporting " << args[1]
                  << std::endl;
        return 0;
    }
    if (command == "watch")
    {
        std::string types = "511";
        if (!option("--types", types, rest) || !rest.empty())
        {
            return Usage("watch takes [--types TYPES]");
        }
        std::string pending;
        auto receiver = [&](const char* data, std::size_t size)
        {
            pending.append(data, size);
            std::size_t end;
            while ((end = pending.find("\n\n")) != std::string::npos)
            {
                const std::string block = pending.substr(0, end);
                pending.erase(0, end + 2);
                if (block.rfind(": subscribed", 0) == 0)
                {
                    std::cerr << "watching types " << types << std::endl;
                    continue;
                }
                std::string data;
                std::istringstream lines(block);
                for (std::string line; std::getline(lines, line);)
                {
                    if (line.rfind("data: ", 0) == 0)
                    {
                        data += line.substr(6);
                    }
                }
                if (data.empty())
                {
                    continue; // heartbeat
                }
                if (context.json)
                {
                    std::cout << data << std::endl;
                }
                else
                {
                    std::cout << Summary(Json::parse(data, nullptr, false)) << std::endl;
                }
            }
            return true;
        };
        if (!connection.Stream("/v1/events?types=" + UrlEncode(types), receiver, failure))
        {
            return Report(failure);
        }
        std::cerr << "the service ended the stream" << std::endl;
        return 0;
    }
    if (command == "get")
    {
        std::string depth;
        if (!option("--depth", depth, rest) || rest.size() != 1)
        {
            return Usage("get takes PATH [--depth N]");
        }
        std::string path = "/v1/config?path=" + UrlEncode(rest[0]);
        if (!depth.empty())
        {
            path += "&depth=" + UrlEncode(depth);
        }
        return call("GET", path) ? printNode() : Report(failure);
    }
    if (command == "put")
    {
        std::string content;
        if (args.size() != 1)
        {
            return Usage("put takes FILE or -");
        }
        if (!ReadInput(args[0], content, failure))
        {
            return Report(failure);
        }
        const std::size_t first = content.find_first_not_of(" \t\r\n");
        const bool json = first != std::string::npos && content[first] == '{';
        if (!call("PUT", "/v1/config", content, json ? "application/json" : "application/xml"))
        {
            return Report(failure);
        }
        std::cout << (context.json ? answer
                                   : "stored " + Json::parse(answer, nullptr, false).value("stored", ""))
                  << std::endl;
        return 0;
    }
    if (command == "rm")
    {
        if (args.size() != 1)
        {
            return Usage("rm takes PATH");
        }
        if (!call("DELETE", "/v1/config?path=" + UrlEncode(args[0])))
        {
            return Report(failure);
        }
        std::cout << (context.json ? answer : "removed " + args[0]) << std::endl;
        return 0;
    }
    if (command == "export")
    {
        if (args.size() > 1)
        {
            return Usage("export takes [FILE]");
        }
        if (!call("GET", "/v1/export"))
        {
            return Report(failure);
        }
        if (args.empty())
        {
            std::cout << answer;
            return 0;
        }
        std::ofstream file(args[0], std::ios::binary);
        if (!(file << answer) || !file.flush())
        {
            return Report(
                {E_ACCESSDENIED, HostCommon::MessageText(E_ACCESSDENIED), "cannot write " + args[0]});
        }
        std::cout << (context.json ? "{\"exported\":" + std::to_string(answer.size()) + "}"
                                   : "exported " + std::to_string(answer.size()) + " bytes to " + args[0])
                  << std::endl;
        return 0;
    }
    if (command == "import")
    {
        std::string content;
        if (args.size() != 1)
        {
            return Usage("import takes FILE");
        }
        if (!ReadInput(args[0], content, failure))
        {
            return Report(failure);
        }
        if (!call("POST", "/v1/import", content, "application/xml"))
        {
            return Report(failure);
        }
        std::cout << (context.json ? answer : "imported " + std::to_string(content.size()) + " bytes")
                  << std::endl;
        return 0;
    }
    return Usage("unknown command " + command);
}
} // namespace

int main(int argc, char** argv)
{
    Context context;
    if (const char* server = std::getenv("RSMCTL_SERVER"))
    {
        context.server = server;
    }
    std::string tokenFile =
        std::getenv("RSMCTL_TOKEN_FILE") != nullptr ? std::getenv("RSMCTL_TOKEN_FILE") : "";
    int i = 1;
    for (; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
        {
            std::cout << kUsage;
            return 0;
        }
        if (arg == "--json")
        {
            context.json = true;
        }
        else if ((arg == "--server" || arg == "--token-file") && i + 1 < argc)
        {
            (arg == "--server" ? context.server : tokenFile) = argv[++i];
        }
        else if (arg.rfind("--", 0) == 0)
        {
            return Usage("unknown option " + arg);
        }
        else
        {
            break;
        }
    }
    if (i >= argc)
    {
        std::cerr << kUsage;
        return Usage("no command");
    }
    const std::string command = argv[i];
    std::vector<std::string> args(argv + i + 1, argv + argc);
    for (const std::string& arg : args)
    {
        if (arg == "--help" || arg == "-h")
        {
            const auto help = kCommandHelp.find(command);
            if (help == kCommandHelp.end())
            {
                return Usage("unknown command " + command);
            }
            std::cout << help->second;
            return 0;
        }
        if (arg == "--json")
        {
            context.json = true;
        }
    }
    std::erase(args, std::string("--json"));
    if (!tokenFile.empty())
    {
        std::ifstream file(tokenFile);
        if (!file || !std::getline(file, context.token))
        {
            return Report({MakeHr(0x80070002), HostCommon::MessageText(MakeHr(0x80070002)),
                           "cannot read token file " + tokenFile});
        }
        while (!context.token.empty() && (context.token.back() == '\r' || context.token.back() == ' '))
        {
            context.token.pop_back();
        }
    }
    if (context.server.find("://") == std::string::npos)
    {
        context.server = "http://" + context.server;
    }
    return Run(context, command, args);
}
