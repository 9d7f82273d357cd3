/*
 * Asks the system whether it deletes a read-only file with the newer
 * disposition, as the launcher first tries to:
 *
 *   delete_posix.exe FILE
 *
 * Opens FILE for deletion and sets FileDispositionInfoEx with DELETE,
 * POSIX_SEMANTICS and IGNORE_READONLY_ATTRIBUTE. Exit code 0 when the
 * system accepted it (FILE is then gone), else the error code.
 */
#include <windows.h>

int wmain(int argc, wchar_t **argv)
{
    struct { DWORD flags; } disposition = { 0x1 | 0x2 | 0x10 };
    HANDLE file;
    BOOL ok;

    if (argc != 2)
        return 87;
    file = CreateFileW(argv[1], DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       NULL, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return (int)GetLastError();
    ok = SetFileInformationByHandle(file, (FILE_INFO_BY_HANDLE_CLASS)21, &disposition,
                                    sizeof(disposition));
    if (!ok) {
        DWORD error = GetLastError();
        CloseHandle(file);
        return (int)error;
    }
    CloseHandle(file);
    return 0;
}
