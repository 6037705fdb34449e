// Temporary folders and scoped environment variables for tests of process-wide settings.
#pragma once

#include "Platform/Core/System.h"
#include "Platform/Core/Text.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace TestSupport
{
class TempDir
{
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "rsm-test-XXXXXX").string();
        char* made = ::mkdtemp(pattern.data());
        m_path = made != nullptr ? made : pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }
    std::wstring WFile(const std::string& name) const { return Platform::FromUtf8(File(name)); }

private:
    std::string m_path;
};

inline void WriteTextFile(const std::string& path, const std::string& content)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// Sets (or with nullopt removes) a variable and restores the previous state on destruction.
class ScopedEnv
{
public:
    ScopedEnv(const std::string& name, std::optional<std::string> value) : m_name(name)
    {
        if (const char* old = std::getenv(name.c_str()))
        {
            m_old = old;
        }
        Set(value);
    }
    ~ScopedEnv() { Set(m_old); }
    void Set(const std::optional<std::string>& value) { Apply(m_name, value); }
    static void Apply(const std::string& name, const std::optional<std::string>& value)
    {
        value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    }

private:
    std::string m_name;
    std::optional<std::string> m_old;
};
} // namespace TestSupport
