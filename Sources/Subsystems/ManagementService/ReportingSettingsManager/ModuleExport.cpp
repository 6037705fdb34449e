// The module's entry: the one exported function and the static registrations made at load.
#include "Common/Components/ComponentObject.h"
#include "Common/Components/ModuleObject.h"
#include "Common/Logging/ModuleLogger.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsManager.h"

namespace
{
// Kept in this source (not in the manager's library) so that the linker cannot drop it.
const Components::CClassRegistration
    g_managerClass(CLSID_ReportingSettingsManager,
                   &ManagementService::CReportingSettingsManagerObject::Creator);

// The module's log file, from load to unload; after the class registration so that it goes first
// at unload.
Logging::ModuleLoggerRegistration g_moduleLogger(&g_moduleLogger);
} // namespace

extern "C" RSM_EXPORT HRESULT GetComponentsModuleObject(void** ppv)
{
    return Components::GetModuleObject().QueryInterface(&IID_IComponentsModule, ppv);
}
