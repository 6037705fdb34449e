#include "Programs/rsmd/Service.h"

#include "Programs/HostCommon/HostText.h"
#include "Programs/HostCommon/NodeJson.h"
#include "Ravlin.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <exception>
#include <new>

namespace Rsmd
{
namespace
{
using HostCommon::NodeHandle;
using httplib::Request;
using httplib::Response;

// Each open connection, event streams included, holds one worker while it lasts.
constexpr std::size_t kWorkers = 64;
// An idle keep-alive connection notices a stop within this time, so shutdown stays short.
constexpr time_t kKeepAliveSeconds = 1;
// Event streams write a comment line this often: a client that went away is noticed by the
// failing write, and its subscription removed.
constexpr std::chrono::milliseconds kHeartbeat{2000};
constexpr char kJson[] = "application/json";

int StatusFor(HRESULT hr)
{
    switch (static_cast<std::uint32_t>(hr))
    {
    case 0x80070057: // E_INVALIDARG
    case 0x80004003: // E_POINTER
    case 0x8007000D: // invalid data
    case 0x800700CE: // name too long
        return 400;
    case 0x80070005: // E_ACCESSDENIED: no or wrong token
        return 401;
    case 0x80070490: // not found
    case 0x80047F01: // nothing known for the type
        return 404;
    case 0x800700DF: // over the size limit
        return 413;
    case 0x80004001: // E_NOTIMPL
        return 501;
    case 0x80070426: // stopping
        return 503;
    default:
        return 500;
    }
}

// "METHOD /route" with the variable parts named, for the request counters.
std::string RouteLabel(const Request& req)
{
    const std::string& p = req.path;
    std::string route = "other";
    if (p == "/v1/connection-settings/common")
    {
        route = p;
    }
    else if (p.rfind("/v1/connection-settings/", 0) == 0)
    {
        route = "/v1/connection-settings/{type}";
    }
    else if (p.rfind("/v1/areas/", 0) == 0)
    {
        route = "/v1/areas/{type}/enabled";
    }
    else
    {
        for (const char* known : {"/v1/health", "/v1/convert", "/v1/products-settings", "/v1/events",
                                  "/v1/config", "/v1/export", "/v1/import", "/metrics"})
        {
            if (p == known)
            {
                route = p;
            }
        }
    }
    return req.method + " " + route;
}

HRESULT MakeQuery(const std::wstring& path, std::int64_t depth, NodeHandle& query)
{
    HRESULT hr = VxnCreateNode(L"", L"FilterByPath", query.Out());
    if (SUCCEEDED(hr))
    {
        hr = HostCommon::SetStringAttribute(query.Get(), L"NodePath", path);
    }
    const std::uint8_t no = 0;
    if (SUCCEEDED(hr))
    {
        hr = VxnSetAttribute(query.Get(), L"IsParent", VXN_ATTR_BOOL, &no, 1);
    }
    if (SUCCEEDED(hr))
    {
        hr = VxnSetAttribute(query.Get(), L"MaxDepth", VXN_ATTR_INT64, &depth, 8);
    }
    return hr;
}

HRESULT AppendToString(const void* data, std::uint64_t size, void* context)
{
    static_cast<std::string*>(context)->append(static_cast<const char*>(data),
                                               static_cast<std::size_t>(size));
    return S_OK;
}

bool IsTextForm(const Request& req)
{
    return req.get_header_value("Content-Type").find("xml") != std::string::npos;
}

// A node from a request body: the JSON form, or the data layer's text form when the body is
// sent as XML.
HRESULT ParseBodyNode(const Request& req, NodeHandle& node, std::string& detail)
{
    if (!IsTextForm(req))
    {
        return HostCommon::ParseNodeJson(req.body, node, detail);
    }
    std::uint64_t line = 0;
    std::uint64_t column = 0;
    const HRESULT hr = VxnParseNodes(req.body.data(), req.body.size(), node.Out(), &line, &column);
    if (FAILED(hr) && line != 0)
    {
        detail = "invalid node text at line " + std::to_string(line) + ", column " + std::to_string(column);
    }
    return hr;
}

std::string ErrorBody(HRESULT hr, const std::string& message, const std::string& detail)
{
    std::string body = "{\"error\":{\"hresult\":\"" + HostCommon::HResultHex(hr) + "\",\"message\":";
    HostCommon::AppendJsonString(body, message);
    if (!detail.empty())
    {
        body += ",\"detail\":";
        HostCommon::AppendJsonString(body, detail);
    }
    return body + "}}";
}

// The state of one event stream, dropped with the response: the subscription goes with it.
struct StreamState
{
    Components::InterfacePtr<EventStream> stream;
    NodeHandle cookie;
    IReportingSettingsManager* manager = nullptr;
    EventHub* hub = nullptr;
    bool greeted = false;

    StreamState() = default;
    StreamState(const StreamState&) = delete;
    StreamState& operator=(const StreamState&) = delete;
    ~StreamState()
    {
        stream->Close();
        hub->Remove(stream.Get());
        if (manager != nullptr && cookie)
        {
            manager->RemoveReportingSettingsSubscription(cookie.Get());
            SetErrorInfo(0, nullptr);
        }
    }
};
} // namespace

void Metrics::CountRequest(const std::string& route, int status)
{
    Base::LockGuard<Base::Mutex> lock(m_lock);
    ++m_requests[{route, status}];
}

void Metrics::CountFailure(HRESULT hr)
{
    Base::LockGuard<Base::Mutex> lock(m_lock);
    ++m_failures[static_cast<std::uint32_t>(hr)];
}

std::string Metrics::Render(EventHub& hub)
{
    std::string out;
    out += "# HELP rsmd_http_requests_total HTTP requests by route and status.\n"
           "# TYPE rsmd_http_requests_total counter\n";
    std::map<std::pair<std::string, int>, std::uint64_t> requests;
    std::map<std::uint32_t, std::uint64_t> failures;
    {
        Base::LockGuard<Base::Mutex> lock(m_lock);
        requests = m_requests;
        failures = m_failures;
    }
    for (const auto& [key, count] : requests)
    {
        out += "rsmd_http_requests_total{route=\"" + key.first + "\",status=\"" + std::to_string(key.second) +
               "\"} " + std::to_string(count) + "\n";
    }
    out += "# HELP rsmd_failures_total Failed requests by HRESULT.\n"
           "# TYPE rsmd_failures_total counter\n";
    for (const auto& [code, count] : failures)
    {
        out += "rsmd_failures_total{hresult=\"" + HostCommon::HResultHex(static_cast<HRESULT>(code)) +
               "\"} " + std::to_string(count) + "\n";
    }
    out +=
        "# HELP rsmd_event_deliveries_total Settings notifications the manager delivered to event streams.\n"
        "# TYPE rsmd_event_deliveries_total counter\n"
        "rsmd_event_deliveries_total " +
        std::to_string(hub.Deliveries()) +
        "\n"
        "# HELP rsmd_event_streams_open Open event streams.\n"
        "# TYPE rsmd_event_streams_open gauge\n"
        "rsmd_event_streams_open " +
        std::to_string(hub.OpenStreams()) +
        "\n"
        "# HELP rsmd_notification_queue_depth Notifications waiting to be written to event streams.\n"
        "# TYPE rsmd_notification_queue_depth gauge\n"
        "rsmd_notification_queue_depth " +
        std::to_string(hub.QueuedEvents()) +
        "\n"
        "# HELP rsmd_config_commits_total Configuration commits seen by the service.\n"
        "# TYPE rsmd_config_commits_total counter\n"
        "rsmd_config_commits_total " +
        std::to_string(m_commits.load(std::memory_order_relaxed)) + "\n";
    return out;
}

Service::Service(const ServiceSetup& setup) : m_setup(setup), m_server(std::make_unique<httplib::Server>())
{
    m_server->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    m_server->set_keep_alive_timeout(kKeepAliveSeconds);
    m_server->set_keep_alive_max_count(100000);
    m_server->set_payload_max_length(kMaxBodyBytes);
    m_server->set_tcp_nodelay(true);
    Routes();
}

Service::~Service() = default;

int Service::Bind(const std::string& host, int port)
{
    if (port == 0)
    {
        return m_server->bind_to_any_port(host);
    }
    return m_server->bind_to_port(host, port) ? port : -1;
}

void Service::Run()
{
    m_server->listen_after_bind();
}

void Service::Stop()
{
    m_server->stop();
    m_hub.CloseAll();
}

bool Service::Authorized(const Request& req) const
{
    if (m_setup.token.empty())
    {
        return true;
    }
    const std::string expected = "Bearer " + m_setup.token;
    const std::string given = req.get_header_value("Authorization");
    // Same time whatever the position of the first difference.
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < expected.size(); ++i)
    {
        difference |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
    }
    return difference == 0;
}

void Service::SendError(Response& res, HRESULT hr, const std::string& detail, bool fromCall)
{
    const std::string message = fromCall ? HostCommon::TakeErrorMessage(hr) : HostCommon::MessageText(hr);
    res.status = StatusFor(hr);
    res.set_content(ErrorBody(hr, message, detail), kJson);
    m_metrics.CountFailure(hr);
}

void Service::SendNode(Response& res, IVXNode* node)
{
    std::string body;
    if (HRESULT hr = HostCommon::RenderNodeJson(node, body); FAILED(hr))
    {
        SendError(res, hr, "the result node cannot be rendered", false);
        return;
    }
    res.set_content(std::move(body), kJson);
}

void Service::SendCallResult(Response& res, HRESULT hr, const NodeHandle& result)
{
    if (FAILED(hr))
    {
        SendError(res, hr, "", true);
        return;
    }
    SendNode(res, result.Get());
}

bool Service::TypeOfRoute(const Request& req, Response& res, std::uint32_t& type)
{
    if (HostCommon::ParseType(req.matches[1].str(), type))
    {
        return true;
    }
    SendError(res, HR_NOT_FOUND, "unknown reporting settings type \"" + req.matches[1].str() + "\"", false);
    return false;
}

void Service::Routes()
{
    httplib::Server& s = *m_server;
    IReportingSettingsManager* manager = m_setup.manager;

    s.set_pre_routing_handler(
        [this](const Request& req, Response& res)
        {
            SetErrorInfo(0, nullptr); // error information read after a call is that call's
            if (Authorized(req))
            {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            res.set_header("WWW-Authenticate", "Bearer");
            SendError(res, E_ACCESSDENIED, "a valid \"Authorization: Bearer <token>\" header is required",
                      false);
            return httplib::Server::HandlerResponse::Handled;
        });
    // Errors httplib itself answers (unknown route, body over the limit, bad request line) get
    // the same JSON body as ours; responses that already carry one are left alone.
    s.set_error_handler(httplib::Server::HandlerWithResponse(
        [this](const Request& req, Response& res)
        {
            if (!res.body.empty())
            {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            switch (res.status)
            {
            case 404:
                SendError(res, HR_NOT_FOUND, "no route " + req.method + " " + req.path, false);
                break;
            case 413:
                SendError(res, MakeHr(0x800700DF), "request bodies are limited to 16 MiB", false);
                break;
            case 400:
                SendError(res, E_INVALIDARG, "malformed request", false);
                break;
            default:
            {
                const int status = res.status;
                SendError(res, E_FAIL, "", false);
                res.status = status;
                break;
            }
            }
            return httplib::Server::HandlerResponse::Handled;
        }));
    s.set_exception_handler(
        [this](const Request&, Response& res, std::exception_ptr error)
        {
            HRESULT hr = E_UNEXPECTED;
            try
            {
                std::rethrow_exception(error);
            }
            catch (const std::bad_alloc&)
            {
                hr = E_OUTOFMEMORY;
            }
            catch (...)
            {
            }
            SendError(res, hr, "", false);
        });
    s.set_logger([this](const Request& req, const Response& res)
                 { m_metrics.CountRequest(RouteLabel(req), res.status); });

    s.Get("/v1/health",
          [this](const Request&, Response& res) { res.set_content(m_setup.healthBody, kJson); });
    s.Get("/metrics", [this](const Request&, Response& res)
          { res.set_content(m_metrics.Render(m_hub), "text/plain; version=0.0.4"); });

    s.Get("/v1/connection-settings/common",
          [this, manager](const Request& req, Response& res)
          {
              std::uint32_t mode = 0;
              if (req.has_param("mode") &&
                  (!HostCommon::ParseU32(req.get_param_value("mode"), mode) || mode > 1))
              {
                  SendError(res, E_INVALIDARG, "mode is 0 or 1", false);
                  return;
              }
              NodeHandle result;
              SendCallResult(res, manager->AcquireCommonConnectionSettings(mode, nullptr, result.Out()),
                             result);
          });
    s.Get(R"(/v1/connection-settings/([^/]+))",
          [this, manager](const Request& req, Response& res)
          {
              std::uint32_t type = 0;
              if (!TypeOfRoute(req, res, type))
              {
                  return;
              }
              NodeHandle result;
              SendCallResult(res, manager->AcquireConnectionSettings(type, result.Out()), result);
          });
    s.Post("/v1/convert",
           [this, manager](const Request& req, Response& res)
           {
               std::uint32_t common = 0;
               if (req.has_param("common") &&
                   (!HostCommon::ParseU32(req.get_param_value("common"), common) || common > 1))
               {
                   SendError(res, E_INVALIDARG, "common is 0 or 1", false);
                   return;
               }
               NodeHandle settings;
               std::string detail;
               if (HRESULT hr = ParseBodyNode(req, settings, detail); FAILED(hr))
               {
                   SendError(res, hr, detail, true);
                   return;
               }
               NodeHandle result;
               SendCallResult(res, manager->ConvertReportingSettings(settings.Get(), common, result.Out()),
                              result);
           });
    s.Get("/v1/products-settings",
          [this, manager](const Request& req, Response& res)
          {
              std::uint32_t types = 0x1FF;
              if (req.has_param("types") && !HostCommon::ParseTypes(req.get_param_value("types"), types))
              {
                  SendError(res, E_INVALIDARG, "types is a number or type names joined by ','", false);
                  return;
              }
              NodeHandle result;
              SendCallResult(res, manager->AcquireProductsSettings(types, result.Out()), result);
          });
    s.Put(R"(/v1/areas/([^/]+)/enabled)",
          [this, manager](const Request& req, Response& res)
          {
              std::uint32_t type = 0;
              if (!TypeOfRoute(req, res, type))
              {
                  return;
              }
              const auto body = nlohmann::json::parse(req.body, nullptr, false);
              if (body.is_discarded() || !body.is_object() || !body.contains("enabled") ||
                  !body["enabled"].is_boolean())
              {
                  SendError(res, E_INVALIDARG, "the body is {\"enabled\": true|false}", false);
                  return;
              }
              const bool enabled = body["enabled"].get<bool>();
              if (HRESULT hr = manager->SetReportingSettingsEnabled(type, enabled ? 1 : 0); FAILED(hr))
              {
                  SendError(res, hr, "", true);
                  return;
              }
              res.set_content("{\"type\":" + std::to_string(type) +
                                  ",\"enabled\":" + (enabled ? "true" : "false") + "}",
                              kJson);
          });
    s.Get("/v1/events", [this](const Request& req, Response& res) { Events(req, res); });
    s.Get("/v1/config", [this](const Request& req, Response& res) { GetConfig(req, res); });
    s.Put("/v1/config", [this](const Request& req, Response& res) { PutConfig(req, res); });
    s.Delete("/v1/config", [this](const Request& req, Response& res) { DeleteConfig(req, res); });
    s.Get("/v1/export", [this](const Request&, Response& res) { Export(res); });
    s.Post("/v1/import", [this](const Request& req, Response& res) { Import(req, res); });
}

void Service::Events(const Request& req, Response& res)
{
    std::uint32_t types = 0x1FF;
    if (req.has_param("types") && !HostCommon::ParseTypes(req.get_param_value("types"), types))
    {
        SendError(res, E_INVALIDARG, "types is a number or type names joined by ','", false);
        return;
    }
    auto state = std::make_shared<StreamState>();
    state->stream = Components::InterfacePtr<EventStream>(new EventStream(m_hub, types), true);
    state->manager = m_setup.manager;
    state->hub = &m_hub;
    if (!m_hub.Add(state->stream.Get()))
    {
        state->manager = nullptr;
        SendError(res, MakeHr(0x80070426), "the service is stopping", false);
        return;
    }
    HRESULT hr =
        m_setup.manager->CreateReportingSettingsSubscription(types, state->stream.Get(), state->cookie.Out());
    if (FAILED(hr))
    {
        SendError(res, hr, "", true);
        return;
    }
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider(
        "text/event-stream",
        [state](std::size_t, httplib::DataSink& sink)
        {
            std::string text;
            if (!state->greeted)
            {
                // Tells the client that the subscription exists, before any event.
                state->greeted = true;
                text = ": subscribed types=" + std::to_string(state->stream->Types()) + "\n\n";
                return sink.write(text.data(), text.size());
            }
            if (!state->stream->Next(text, kHeartbeat))
            {
                sink.done();
                return true;
            }
            if (text.empty())
            {
                text = ":\n\n";
            }
            return sink.write(text.data(), text.size());
        });
}

void Service::GetConfig(const Request& req, Response& res)
{
    if (!req.has_param("path"))
    {
        SendError(res, E_INVALIDARG, "the path parameter is required", false);
        return;
    }
    std::uint32_t depth = VXN_DEPTH_ALL;
    if (req.has_param("depth") && !HostCommon::ParseU32(req.get_param_value("depth"), depth))
    {
        SendError(res, E_INVALIDARG, "depth is a number of levels", false);
        return;
    }
    const std::string path = req.get_param_value("path");
    NodeHandle query;
    NodeHandle node;
    std::uint64_t found = 0;
    HRESULT hr = MakeQuery(HostCommon::FromUtf8(path), depth, query);
    IVXNode* result = nullptr;
    if (SUCCEEDED(hr))
    {
        hr = m_setup.storage->QueryNodes(query.Get(), 0, &result, 1, &found);
        node = NodeHandle(result);
    }
    if (FAILED(hr))
    {
        SendError(res, hr, "", true);
        return;
    }
    if (found == 0 || !node)
    {
        SendError(res, HR_NOT_FOUND, "no node at " + path, false);
        return;
    }
    SendNode(res, node.Get());
}

void Service::PutConfig(const Request& req, Response& res)
{
    NodeHandle node;
    std::string detail;
    HRESULT hr = S_OK;
    if (IsTextForm(req))
    {
        hr = ParseBodyNode(req, node, detail);
    }
    else
    {
        const auto value = nlohmann::json::parse(req.body, nullptr, false);
        if (value.is_discarded())
        {
            hr = HostCommon::ParseNodeJson(req.body, node, detail); // for the parser's own reason
        }
        else if (!value.is_object() || !value.contains("path"))
        {
            hr = E_INVALIDARG;
            detail = "the node needs its full \"path\"";
        }
        else
        {
            hr = HostCommon::NodeFromJson(value, node, detail);
        }
    }
    if (FAILED(hr))
    {
        SendError(res, hr, detail, true);
        return;
    }
    IVXNode* nodes[] = {node.Get()};
    if (hr = m_setup.storage->PutNodes(nullptr, 0, nodes, 1); FAILED(hr))
    {
        SendError(res, hr, "", true);
        return;
    }
    wchar_t buffer[1];
    std::uint32_t length = 1;
    std::wstring path;
    if (VxnGetNodeName(node.Get(), VXN_NAME_FULL_PATH, buffer, &length) == HR_INSUFFICIENT_BUFFER)
    {
        path.resize(length);
        if (FAILED(VxnGetNodeName(node.Get(), VXN_NAME_FULL_PATH, path.data(), &length)))
        {
            length = 1;
        }
        path.resize(length - 1);
    }
    std::string body = "{\"stored\":";
    HostCommon::AppendJsonString(body, HostCommon::ToUtf8(path));
    res.set_content(body + "}", kJson);
}

void Service::DeleteConfig(const Request& req, Response& res)
{
    if (!req.has_param("path"))
    {
        SendError(res, E_INVALIDARG, "the path parameter is required", false);
        return;
    }
    const std::string path = req.get_param_value("path");
    NodeHandle query;
    HRESULT hr = MakeQuery(HostCommon::FromUtf8(path), VXN_DEPTH_ALL, query);
    if (SUCCEEDED(hr))
    {
        hr = m_setup.storage->RemoveNodes(nullptr, query.Get());
    }
    if (FAILED(hr))
    {
        SendError(res, hr, "", true);
        return;
    }
    std::string body = "{\"removed\":";
    HostCommon::AppendJsonString(body, path);
    res.set_content(body + "}", kJson);
}

void Service::Export(Response& res)
{
    std::string text;
    if (HRESULT hr = ConfigServerExportText(m_setup.proxy, AppendToString, &text); FAILED(hr))
    {
        SendError(res, hr, "", true);
        return;
    }
    res.set_content(std::move(text), "application/xml");
}

void Service::Import(const Request& req, Response& res)
{
    if (HRESULT hr = ConfigServerImportText(m_setup.proxy, req.body.data(), req.body.size()); FAILED(hr))
    {
        SendError(res, hr, "", true);
        return;
    }
    res.set_content("{\"imported\":" + std::to_string(req.body.size()) + "}", kJson);
}
} // namespace Rsmd
