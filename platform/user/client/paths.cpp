// Windows paths of the notebook's drive C: on the host.
#include <windows.h>

#include <hostuser/paths.h>

#include <cstring>

#include "connection.h"
#include "path_mapping.h"

using namespace hostuser;

extern "C" {

BOOL HostMapPath(LPCSTR windowsPath, LPSTR hostPath, DWORD hostPathSize) {
    if (windowsPath == nullptr || hostPath == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string driveC;
    MappedPath mapped = MapWindowsPath(windowsPath, driveC);
    if (mapped.error == PathMapError::NeedsDriveC) {
        std::optional<wire::HelloReply> info = client::MachineInfo();
        if (!info || info->driveC.empty()) {
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return FALSE;
        }
        mapped = MapWindowsPath(windowsPath, info->driveC);
    }
    if (mapped.error) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (mapped.path.size() + 1 > hostPathSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(hostPath, mapped.path.c_str(), mapped.path.size() + 1);
    return TRUE;
}

}  // extern "C"
