/*
 * Security information of kernel objects (host platform subset of Windows'
 * aclapi.h). The notebook's objects carry no security descriptors: any
 * program of the logged-on user may open, wait on and set them, which is
 * what a null DACL grants on Windows.
 */
#ifndef ZHP_HOST_ACLAPI_H
#define ZHP_HOST_ACLAPI_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum _SE_OBJECT_TYPE {
    SE_UNKNOWN_OBJECT_TYPE = 0,
    SE_FILE_OBJECT,
    SE_SERVICE,
    SE_PRINTER,
    SE_REGISTRY_KEY,
    SE_LMSHARE,
    SE_KERNEL_OBJECT,
    SE_WINDOW_OBJECT
} SE_OBJECT_TYPE;

/* Accepts a null DACL (and null owner, group and SACL) on an event, timer or
 * device handle; returns ERROR_SUCCESS or an error code (not via GetLastError). */
DWORD WINAPI SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                             PSID psidOwner, PSID psidGroup, PACL pDacl, PACL pSacl);

#ifdef __cplusplus
}
#endif

#endif /* ZHP_HOST_ACLAPI_H */
