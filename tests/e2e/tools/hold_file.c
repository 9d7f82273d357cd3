/*
 * Holds a file open the way an editor or virus scanner might: with read
 * sharing only, so nobody else can open it for writing.
 *
 *   hold_file.exe FILE READY_MARKER RELEASE_MARKER
 *
 * Opens FILE (which must exist), then creates READY_MARKER so the test knows
 * the file is held, and keeps it open until RELEASE_MARKER exists (or two
 * minutes pass). Exit code 0, or the error of the failed open.
 */
#include <windows.h>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 4)
        return 87; /* ERROR_INVALID_PARAMETER */
    HANDLE held = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (held == INVALID_HANDLE_VALUE)
        return (int)GetLastError();
    HANDLE ready = CreateFileW(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, NULL);
    if (ready != INVALID_HANDLE_VALUE)
        CloseHandle(ready);
    for (int waited = 0; waited < 1200; ++waited) {
        if (GetFileAttributesW(argv[3]) != INVALID_FILE_ATTRIBUTES)
            break;
        Sleep(100);
    }
    CloseHandle(held);
    return 0;
}
