/*
 * Host-only: where a Windows file path of the simulated notebook lives on
 * the host.
 *
 * The notebook's drive C: is a directory in its state directory
 * (STATE/drive_c, which `notebook serve` creates with Users\Public in it).
 * A program that opens files by their Windows names passes each name
 * through HostMapPath before handing it to the C runtime, e.g.
 *
 *   char path[4096];
 *   if (HostMapPath("C:\\Users\\Public\\G_TEST.txt", path, sizeof path))
 *       FILE *f = fopen(path, "wb");   // STATE/drive_c/Users/Public/G_TEST.txt
 *
 * Rules: "C:\..." and "C:/..." (drive letter in either case) map below the
 * drive_c directory; a relative path keeps its place relative to the current
 * directory; in both, backslashes become slashes. Paths on other drives, UNC
 * and device paths ("\\server\share", "\\.\X") and paths that climb out of
 * the drive with ".." are not mapped.
 */
#ifndef ZHP_HOSTUSER_PATHS_H
#define ZHP_HOSTUSER_PATHS_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Writes the host path (NUL-terminated) to hostPath and returns TRUE; FALSE
 * when the path cannot be mapped (GetLastError: ERROR_PATH_NOT_FOUND), C: is
 * asked for and the notebook cannot be reached (ERROR_DEVICE_NOT_CONNECTED),
 * or the buffer is too small (ERROR_INSUFFICIENT_BUFFER). */
BOOL HostMapPath(LPCSTR windowsPath, LPSTR hostPath, DWORD hostPathSize);

#ifdef __cplusplus
}
#endif

#endif /* ZHP_HOSTUSER_PATHS_H */
