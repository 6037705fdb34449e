#include "Platform/ConfigServer/EtcdClient.h"

#include <curl/curl.h>

#include <array>
#include <thread>

namespace ConfigServer
{
namespace
{

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct CurlGlobal
{
    CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
    ~CurlGlobal() { curl_global_cleanup(); }
};

void EnsureCurl()
{
    static CurlGlobal global;
}

std::size_t AppendReply(char* data, std::size_t size, std::size_t count, void* context)
{
    static_cast<std::string*>(context)->append(data, size * count);
    return size * count;
}

HRESULT FromCurl(CURLcode code)
{
    switch (code)
    {
    case CURLE_OK:
        return S_OK;
    case CURLE_OPERATION_TIMEDOUT:
        return ETCD_E_TIMEOUT;
    case CURLE_OUT_OF_MEMORY:
        return E_OUTOFMEMORY;
    default:
        return ETCD_E_UNREACHABLE;
    }
}

// The gateway's error answers carry the gRPC status code.
HRESULT FromStatus(int code, std::string_view message)
{
    switch (code)
    {
    case 3: // InvalidArgument: too many operations, a value too large, ...
        return E_INVALIDARG;
    case 8: // ResourceExhausted: a request above the size limit, or the cluster out of space
        return message.find("larger than max") != std::string_view::npos ||
                       message.find("too large") != std::string_view::npos
                   ? E_INVALIDARG
                   : MakeHr(0x80070070);
    case 11: // OutOfRange
        return message.find("compacted") != std::string_view::npos ? ETCD_E_COMPACTED : E_INVALIDARG;
    case 7:
    case 16:
        return E_ACCESSDENIED;
    default:
        return E_FAIL;
    }
}

// Worth another try on another endpoint: no leader at the moment, or the member cannot serve.
bool Transient(int code, std::string_view message)
{
    return code == 14 || code == 4 || message.find("leader") != std::string_view::npos ||
           message.find("timed out") != std::string_view::npos ||
           message.find("too many requests") != std::string_view::npos;
}

// A POST of body to url whose answer goes to write(context). timeoutMs 0 sets no overall limit
// (a watch stream stays open until it is told to stop).
void SetUpPost(CURL* easy, const std::string& url, std::string_view body, curl_write_callback write,
               void* context, long timeoutMs)
{
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, write);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, context);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, 1000L);
    if (timeoutMs != 0)
    {
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, timeoutMs);
    }
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TCP_NODELAY, 1L);
}

} // namespace

std::string Base64Encode(std::string_view bytes)
{
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3)
    {
        const std::uint32_t v = (static_cast<std::uint8_t>(bytes[i]) << 16) |
                                (static_cast<std::uint8_t>(bytes[i + 1]) << 8) |
                                static_cast<std::uint8_t>(bytes[i + 2]);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i < bytes.size())
    {
        std::uint32_t v = static_cast<std::uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
        {
            v |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
        }
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool Base64Decode(std::string_view text, std::string& bytes)
{
    static const std::array<std::int8_t, 256> kValues = []
    {
        std::array<std::int8_t, 256> values{};
        values.fill(-1);
        for (std::size_t i = 0; i < kAlphabet.size(); ++i)
        {
            values[static_cast<std::uint8_t>(kAlphabet[i])] = static_cast<std::int8_t>(i);
        }
        return values;
    }();
    bytes.clear();
    if (text.size() % 4 != 0)
    {
        return false;
    }
    bytes.reserve(text.size() / 4 * 3);
    std::uint32_t bits = 0;
    int count = 0;
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        const char c = text[i];
        if (c == '=')
        {
            if (i + 2 < text.size())
            {
                return false;
            }
            break;
        }
        const std::int8_t v = kValues[static_cast<std::uint8_t>(c)];
        if (v < 0)
        {
            return false;
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(v);
        if (++count == 4)
        {
            bytes += static_cast<char>(bits >> 16);
            bytes += static_cast<char>(bits >> 8);
            bytes += static_cast<char>(bits);
            bits = 0;
            count = 0;
        }
    }
    if (count == 3)
    {
        bytes += static_cast<char>(bits >> 10);
        bytes += static_cast<char>(bits >> 2);
    }
    else if (count == 2)
    {
        bytes += static_cast<char>(bits >> 4);
    }
    return true;
}

std::uint64_t JsonNumber(const Json& object, const char* name)
{
    if (!object.is_object())
    {
        return 0;
    }
    auto it = object.find(name);
    if (it == object.end())
    {
        return 0;
    }
    if (it->is_number_unsigned() || it->is_number_integer())
    {
        return it->get<std::uint64_t>();
    }
    if (it->is_string())
    {
        try
        {
            return std::stoull(it->get<std::string>());
        }
        catch (const std::exception&)
        {
            return 0;
        }
    }
    return 0;
}

std::string JsonBytes(const Json& object, const char* name)
{
    std::string bytes;
    if (object.is_object())
    {
        auto it = object.find(name);
        if (it != object.end() && it->is_string())
        {
            Base64Decode(it->get_ref<const std::string&>(), bytes);
        }
    }
    return bytes;
}

EtcdClient::EtcdClient(std::vector<std::string> endpoints) : m_endpoints(std::move(endpoints))
{
    EnsureCurl();
    m_multi = curl_multi_init();
}

EtcdClient::~EtcdClient()
{
    {
        Base::LockGuard<Base::Mutex> lock(m_mutex);
        if (m_easy)
        {
            curl_easy_cleanup(static_cast<CURL*>(m_easy));
        }
    }
    curl_multi_cleanup(static_cast<CURLM*>(m_multi));
}

void EtcdClient::NextEndpoint()
{
    m_current = (m_current + 1) % m_endpoints.size();
}

HRESULT EtcdClient::Post(const std::string& url, const std::string& body, std::string& reply)
{
    if (m_easy == nullptr && (m_easy = curl_easy_init()) == nullptr)
    {
        return E_OUTOFMEMORY;
    }
    CURL* easy = static_cast<CURL*>(m_easy);
    curl_easy_reset(easy);
    reply.clear();
    SetUpPost(easy, url, body, AppendReply, &reply, 5000L);
    return FromCurl(curl_easy_perform(easy));
}

HRESULT EtcdClient::Answer(const std::string& reply, Json& answer, bool& transient)
{
    transient = false;
    answer = Json::parse(reply, nullptr, false);
    if (answer.is_discarded() || !answer.is_object())
    {
        return ETCD_E_BAD_ANSWER;
    }
    auto error = answer.find("error");
    if (error == answer.end())
    {
        return S_OK;
    }
    const int code = static_cast<int>(JsonNumber(answer, "code"));
    const std::string message = error->is_string() ? error->get<std::string>() : std::string();
    transient = Transient(code, message);
    return transient ? ETCD_E_TIMEOUT : FromStatus(code, message);
}

HRESULT EtcdClient::Call(const char* path, const Json& body, Json& answer)
{
    const std::string text = body.dump();
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    Base::LockGuard<Base::Mutex> lock(m_mutex);
    for (unsigned attempt = 0;; ++attempt)
    {
        std::string reply;
        HRESULT hr = Post(m_endpoints[m_current % m_endpoints.size()] + path, text, reply);
        bool transient = true;
        if (SUCCEEDED(hr))
        {
            hr = Answer(reply, answer, transient);
            if (!transient)
            {
                return hr;
            }
        }
        if (hr == E_OUTOFMEMORY || std::chrono::steady_clock::now() >= deadline)
        {
            return hr;
        }
        NextEndpoint();
        // A full round over the endpoints without an answer: give the cluster a moment.
        if ((attempt + 1) % m_endpoints.size() == 0)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
}

HRESULT EtcdClient::CallAll(const char* path, const std::vector<std::string>& bodies,
                            std::vector<Json>& answers)
{
    constexpr std::size_t kInFlight = 8;
    answers.assign(bodies.size(), Json());
    std::vector<HRESULT> results(bodies.size(), E_FAIL);
    {
        const std::string url = m_endpoints[m_current % m_endpoints.size()] + path;
        CURLM* multi = curl_multi_init();
        if (multi == nullptr)
        {
            return E_OUTOFMEMORY;
        }
        struct Slot
        {
            CURL* easy = nullptr;
            std::size_t index = 0;
            std::string reply;
        };
        std::vector<Slot> slots(std::min(kInFlight, bodies.size()));
        std::size_t next = 0;
        std::size_t running = 0;
        auto start = [&](Slot& slot)
        {
            if (slot.easy == nullptr && (slot.easy = curl_easy_init()) == nullptr)
            {
                return false;
            }
            curl_easy_reset(slot.easy);
            slot.index = next++;
            slot.reply.clear();
            SetUpPost(slot.easy, url, bodies[slot.index], AppendReply, &slot.reply, 5000L);
            curl_easy_setopt(slot.easy, CURLOPT_PRIVATE, &slot);
            curl_multi_add_handle(multi, slot.easy);
            ++running;
            return true;
        };
        for (Slot& slot : slots)
        {
            if (next < bodies.size() && !start(slot))
            {
                break;
            }
        }
        while (running > 0)
        {
            int active = 0;
            if (curl_multi_perform(multi, &active) != CURLM_OK)
            {
                break;
            }
            int left = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &left))
            {
                if (message->msg != CURLMSG_DONE)
                {
                    continue;
                }
                Slot* slot = nullptr;
                curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&slot));
                const CURLcode code = message->data.result;
                curl_multi_remove_handle(multi, slot->easy);
                --running;
                bool transient = false;
                results[slot->index] =
                    code == CURLE_OK ? Answer(slot->reply, answers[slot->index], transient) : FromCurl(code);
                if (next < bodies.size())
                {
                    start(*slot);
                }
            }
            if (running > 0)
            {
                curl_multi_poll(multi, nullptr, 0, 100, nullptr);
            }
        }
        for (Slot& slot : slots)
        {
            if (slot.easy)
            {
                curl_multi_remove_handle(multi, slot.easy);
                curl_easy_cleanup(slot.easy);
            }
        }
        curl_multi_cleanup(multi);
    }
    for (std::size_t i = 0; i < bodies.size(); ++i)
    {
        if (FAILED(results[i]))
        {
            HRESULT hr = Call(path, Json::parse(bodies[i]), answers[i]);
            if (FAILED(hr))
            {
                return hr;
            }
        }
    }
    return S_OK;
}

namespace
{
struct StreamState
{
    std::string buffer;
    const std::function<bool(const Json&)>* onMessage = nullptr;
    bool ended = false;
};

std::size_t TakeStream(char* data, std::size_t size, std::size_t count, void* context)
{
    auto* state = static_cast<StreamState*>(context);
    state->buffer.append(data, size * count);
    std::size_t start = 0;
    for (std::size_t end; (end = state->buffer.find('\n', start)) != std::string::npos; start = end + 1)
    {
        Json message =
            Json::parse(std::string_view(state->buffer).substr(start, end - start), nullptr, false);
        if (message.is_discarded() || !(*state->onMessage)(message))
        {
            state->ended = true;
            return 0; // ends the transfer
        }
    }
    state->buffer.erase(0, start);
    return size * count;
}
} // namespace

HRESULT EtcdClient::Stream(const char* path, const Json& body,
                           const std::function<bool(const Json&)>& onMessage, const std::atomic<bool>& stop)
{
    CURL* easy = curl_easy_init();
    if (easy == nullptr)
    {
        return E_OUTOFMEMORY;
    }
    const std::string url = m_endpoints[m_current % m_endpoints.size()] + path;
    const std::string text = body.dump();
    StreamState state;
    state.onMessage = &onMessage;
    SetUpPost(easy, url, text, TakeStream, &state, 0L);
    auto* multi = static_cast<CURLM*>(m_multi);
    curl_multi_add_handle(multi, easy);
    HRESULT hr = S_OK;
    for (int running = 1; running != 0 && !stop;)
    {
        if (curl_multi_perform(multi, &running) != CURLM_OK)
        {
            hr = ETCD_E_UNREACHABLE;
            break;
        }
        if (running != 0)
        {
            curl_multi_poll(multi, nullptr, 0, 500, nullptr);
        }
    }
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left))
    {
        if (message->msg == CURLMSG_DONE && !state.ended && SUCCEEDED(hr))
        {
            hr = message->data.result == CURLE_OK ? ETCD_E_UNREACHABLE : FromCurl(message->data.result);
        }
    }
    curl_multi_remove_handle(multi, easy);
    curl_easy_cleanup(easy);
    return hr;
}

void EtcdClient::Wake()
{
    curl_multi_wakeup(static_cast<CURLM*>(m_multi));
}

} // namespace ConfigServer
