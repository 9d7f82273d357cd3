/*
 * A DLL planted beside a program to see whether the program's DLL search
 * picks it up. Copied under the name of a system DLL (uxtheme.dll, ...); when
 * a process loads it, it writes C:\standin\planted-<name>.txt (name without
 * extension, as the copy is called) holding the full path of that process's
 * executable, and then loads as an empty DLL.
 */
#include <windows.h>
#include <wchar.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved)
{
    wchar_t own[MAX_PATH], marker[MAX_PATH + 32], host[MAX_PATH];
    wchar_t *name, *dot;
    char text[MAX_PATH * 3];
    int bytes;
    DWORD written;
    HANDLE file;

    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    if (!GetModuleFileNameW(self, own, MAX_PATH) || !GetModuleFileNameW(NULL, host, MAX_PATH))
        return TRUE;
    own[MAX_PATH - 1] = 0;
    host[MAX_PATH - 1] = 0;
    name = wcsrchr(own, L'\\') ? wcsrchr(own, L'\\') + 1 : own;
    dot = wcsrchr(name, L'.');
    if (dot)
        *dot = 0;
    _snwprintf(marker, MAX_PATH + 32, L"C:\\standin\\planted-%ls.txt", name);
    marker[MAX_PATH + 31] = 0;
    CreateDirectoryW(L"C:\\standin", NULL);
    file = CreateFileW(marker, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return TRUE;
    bytes = WideCharToMultiByte(CP_UTF8, 0, host, -1, text, sizeof text, NULL, NULL);
    if (bytes > 1)
        WriteFile(file, text, (DWORD)(bytes - 1), &written, NULL);
    CloseHandle(file);
    return TRUE;
}
