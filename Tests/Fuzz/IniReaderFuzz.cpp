// The ini reader on raw bytes, and on the same text as UTF-8 and as UTF-16LE, each with its
// byte-order mark: every lookup gives the same answer in all three, and no lookup writes past the
// caller's buffer (each buffer is allocated to its exact size, so AddressSanitizer sees any
// overrun).
#include "Common/Settings/IniFile.h"
#include "FuzzSupport.h"
#include "Platform/Core/Text.h"

#include <algorithm>
#include <memory>
#include <utility>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace
{
// An in-memory file that the reader opens by its /proc path.
class MemoryFile
{
public:
    MemoryFile() : m_fd(::memfd_create("ini", MFD_CLOEXEC))
    {
        FUZZ_CHECK(m_fd >= 0);
        m_path = L"/proc/self/fd/" + std::to_wstring(m_fd);
    }
    void Write(std::string_view bytes)
    {
        FUZZ_CHECK(::ftruncate(m_fd, 0) == 0);
        FUZZ_CHECK(::pwrite(m_fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()));
    }
    const std::wstring& Path() const { return m_path; }

private:
    int m_fd;
    std::wstring m_path;
};

std::wstring_view Trimmed(std::wstring_view text)
{
    text.remove_prefix(std::min(text.find_first_not_of(L" \t\r"), text.size()));
    return text.substr(0, text.find_last_not_of(L" \t\r") + 1);
}

// Lookups worth making: the keys the text seems to define under the section they seem to be in, and
// a missing section and key.
std::vector<std::pair<std::wstring, std::wstring>> Queries(const std::wstring& text)
{
    std::vector<std::pair<std::wstring, std::wstring>> queries{{L"General", L"Key"},
                                                               {L"MISSING", L"missing"}};
    std::wstring section;
    std::size_t pos = 0;
    while (pos < text.size() && queries.size() < 6)
    {
        std::size_t end = text.find(L'\n', pos);
        end = end == std::wstring::npos ? text.size() : end;
        std::wstring_view line = Trimmed(std::wstring_view(text).substr(pos, end - pos));
        pos = end + 1;
        if (!line.empty() && line.front() == L'[')
        {
            section = Trimmed(line.substr(1, line.find(L']') - 1));
        }
        else if (std::size_t eq = line.find(L'='); eq != std::wstring_view::npos)
        {
            queries.emplace_back(section, Trimmed(line.substr(0, eq)));
        }
    }
    return queries;
}

struct Answer
{
    std::uint32_t length;
    std::wstring text;
    bool operator==(const Answer&) const = default;
};

Answer Ask(const std::wstring& file, const wchar_t* section, const wchar_t* key, const wchar_t* defaultValue,
           std::uint32_t size)
{
    // Exactly size characters, so that one character more is an overrun.
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[size]);
    std::uint32_t length =
        Settings::GetPrivateProfileString(section, key, defaultValue, buffer.get(), size, file);
    FUZZ_CHECK(length < size);
    FUZZ_CHECK(buffer[length] == L'\0');
    return Answer{length, std::wstring(buffer.get(), length)};
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static MemoryFile files[3];
    std::string_view raw(reinterpret_cast<const char*>(data), size);
    files[0].Write(raw);
    std::wstring text;
    FUZZ_CHECK(Settings::ReadTextFile(files[0].Path(), text));
    files[1].Write("\xEF\xBB\xBF" + Platform::ToUtf8(text));
    files[2].Write("\xFF\xFE" + Platform::ToUtf16Le(text));
    for (MemoryFile& file : files)
    {
        std::wstring decoded;
        FUZZ_CHECK(Settings::ReadTextFile(file.Path(), decoded));
        FUZZ_CHECK(decoded == text);
    }

    const std::uint32_t bufferSizes[] = {1, 2, 5, 260};
    std::size_t round = 0;
    for (const auto& [section, key] : Queries(text))
    {
        std::wstring whole[3];
        for (int f = 0; f < 3; ++f)
        {
            Settings::ReadIniString(files[f].Path(), section.c_str(), key.c_str(), whole[f]);
        }
        FUZZ_CHECK(whole[0] == whole[1] && whole[0] == whole[2]);
        Answer answers[3];
        const std::uint32_t bufferSize = bufferSizes[round++ % std::size(bufferSizes)];
        for (int f = 0; f < 3; ++f)
        {
            answers[f] = Ask(files[f].Path(), section.c_str(), key.c_str(), L" fallback ", bufferSize);
        }
        FUZZ_CHECK(answers[0] == answers[1] && answers[0] == answers[2]);
        // A cut value is the front of the whole one.
        FUZZ_CHECK(whole[0].empty() || whole[0].compare(0, answers[0].length, answers[0].text) == 0);
    }
    // Null section or key finds nothing: the default, cut to the buffer.
    FUZZ_CHECK(Ask(files[0].Path(), nullptr, L"Key", L"d", 8).text == L"d");
    FUZZ_CHECK(Ask(files[0].Path(), L"General", nullptr, nullptr, 8).text.empty());
    return 0;
}
