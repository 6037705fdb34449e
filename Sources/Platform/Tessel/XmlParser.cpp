#include "Platform/Tessel/Xml.h"

namespace Tessel
{
HRESULT ParseNodesXml(std::string_view, Node**, ParseError&)
{
    return E_NOTIMPL;
}
} // namespace Tessel
