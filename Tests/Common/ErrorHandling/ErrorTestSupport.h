// Test helpers: captured log lines, the thread's published error text, the failure a body raises.
#pragma once

#include "InterfacePtr.h"
#include "Common/ErrorHandling/HResult.h"
#include "Common/Logging/LogManager.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace TestSupport
{
// The failure body raises, or a success value when it raises nothing.
inline HRX Caught(const std::function<void()>& body)
{
    try
    {
        body();
    }
    catch (const HRX& e)
    {
        return e;
    }
    return HRX();
}

inline HRESULT CodeOf(const std::function<void()>& body)
{
    return Caught(body).Code();
}

// Takes the calling thread's error info and returns its description ("" when there is none).
inline std::wstring PublishedText()
{
    Components::InterfacePtr<IErrorInfo> info;
    GetErrorInfo(0, info.Out());
    BSTR text = nullptr;
    if (info)
    {
        info->GetDescription(&text);
    }
    std::wstring result = text != nullptr ? std::wstring(text, SysStringLen(text)) : L"";
    SysFreeString(text);
    return result;
}

// Error information as a sibling module would leave it for the thread.
inline Components::InterfacePtr<IErrorInfo> MakeErrorInfo(const wchar_t* description,
                                                          const GUID& guid = IID_IErrorInfo)
{
    Components::InterfacePtr<ICreateErrorInfo> create;
    HRX hr;
    hr = CreateErrorInfo(create.Out());
    create->SetDescription(description);
    create->SetGUID(&guid);
    Components::InterfacePtr<IErrorInfo> info;
    hr = create->QueryInterface(&IID_IErrorInfo, info.OutVoid());
    return info;
}

struct LogLine
{
    std::int32_t severity;
    std::string file;
    std::uint32_t line;
    std::wstring message;
};

// Registered by address while it lives; its mutex keeps it from being copied.
class LogCapture : private Logging::ILogger, private Logging::ILogFormatter
{
public:
    LogCapture()
    {
        Logging::LogManager::Instance().SetCustomFormatter(this);
        Logging::LogManager::Instance().AddLogger(this);
    }
    ~LogCapture()
    {
        Logging::LogManager::Instance().RemoveLogger(this);
        Logging::LogManager::Instance().SetCustomFormatter(nullptr);
    }

    // Lines of the severity whose message starts with prefix.
    std::vector<LogLine> Find(std::int32_t severity, const std::wstring& prefix) const
    {
        std::lock_guard lock(m_lock);
        std::vector<LogLine> found;
        for (const LogLine& l : m_lines)
        {
            if (l.severity == severity && l.message.rfind(prefix, 0) == 0)
            {
                found.push_back(l);
            }
        }
        return found;
    }

private:
    // The formatter hands the fields over in a side channel; the text itself is not used.
    void Format(std::wstring& text, std::int32_t severity, const char* sourceFile, std::uint32_t sourceLine,
                const std::wstring& message, std::uint32_t, const std::uint64_t*) override
    {
        std::lock_guard lock(m_lock);
        m_lines.push_back({severity, sourceFile == nullptr ? "" : sourceFile, sourceLine, message});
        text.clear();
    }
    void Write(const wchar_t*, int) override {}

    mutable std::mutex m_lock;
    std::vector<LogLine> m_lines;
};
} // namespace TestSupport
