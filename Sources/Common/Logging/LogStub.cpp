// Placeholder until the log manager lands: nothing is enabled.
#include "Common/Logging/Log.h"

namespace Logging
{
bool IsLogEnabled(std::int32_t)
{
    return false;
}
void Log(std::int32_t, const std::wstring&, const char*, std::uint32_t, ILogger*) {}
} // namespace Logging
