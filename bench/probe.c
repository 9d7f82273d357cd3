/*
 * Write-path probe: carries a package as resource MSI/129, as the launcher
 * does, and writes it to %TEMP%\VeltraneWindowsDriverInstaller.msi in one of
 * several ways, timing each step from inside the process.
 *
 *   probe.exe RESULT-FILE MODE
 *
 * MODE is a comma-separated list of one write method and any extras:
 *   single        one WriteFile straight from the mapped resource (the old launcher's way)
 *   chunk:N       WriteFile calls of N bytes each from the mapped resource (with new and
 *                 readback: the launcher's way, N its chunk size)
 *   mapping       no WriteFile: the new file mapped writable, the resource copied into it
 *   none          nothing written (no file either), e.g. with touch
 *   touch         first read one byte of every page of the resource
 *   heap          first copy the resource into fresh VirtualAlloc memory and write from there
 *   presize       set the file's end to the final size before writing
 *   new           delete any old file and create with CREATE_NEW instead of CREATE_ALWAYS
 *                 (Wine truncates on CREATE_ALWAYS, which ext4 answers with write-back at close)
 *   readback      after the close, open the copy again as the launcher holds it (GENERIC_READ,
 *                 FILE_SHARE_READ, OPEN_EXISTING), read it back in reads of the write size
 *                 into a heap buffer and compare each with the resource (memcmp); timed
 *                 as its own step, the closing of that handle included
 *   readmap:N     as readback, but compare through a read-only mapping of the copy
 *                 (CreateFileMappingW, PAGE_READONLY) in views of N bytes, after
 *                 checking its size (GetFileSizeEx): the launcher's way
 *
 * RESULT-FILE receives one line: "<mode> locate=S prepare=S create=S write=S
 * close=S verify=S total=S" (seconds; verify is 0 without readback). Exit code
 * 0, or the failing step's number.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static LARGE_INTEGER frequency;

static double now(void)
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart / (double)frequency.QuadPart;
}

static volatile unsigned char sink;

static void touch_pages(const unsigned char *bytes, DWORD size)
{
    unsigned char sum = 0;
    DWORD i;
    for (i = 0; i < size; i += 4096)
        sum ^= bytes[i];
    sink = sum;
}

static int write_all(HANDLE file, const unsigned char *bytes, DWORD size, DWORD chunk)
{
    DWORD done = 0;
    while (done < size) {
        DWORD part = size - done < chunk ? size - done : chunk;
        DWORD written = 0;
        if (!WriteFile(file, bytes + done, part, &written, NULL) || written != part)
            return 0;
        done += part;
    }
    return 1;
}

/* Reads the file at path back in reads of chunk bytes (at most size) and
 * compares it with bytes; 1 when it holds exactly those size bytes. */
static int read_back(const wchar_t *path, const unsigned char *bytes, DWORD size, DWORD chunk)
{
    DWORD buffer_size = chunk < size ? chunk : size;
    unsigned char *buffer = malloc(buffer_size);
    DWORD offset = 0, got = 0;
    int same = 1;
    HANDLE file;
    if (!buffer)
        return 0;
    file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT |
                           FILE_FLAG_SEQUENTIAL_SCAN,
                       NULL);
    if (file == INVALID_HANDLE_VALUE) {
        free(buffer);
        return 0;
    }
    /* Until a read returns nothing, as the launcher reads. */
    for (;;) {
        if (!ReadFile(file, buffer, buffer_size, &got, NULL)) {
            same = 0;
            break;
        }
        if (got == 0)
            break;
        if (got > size - offset || memcmp(buffer, bytes + offset, got) != 0) {
            same = 0;
            break;
        }
        offset += got;
    }
    CloseHandle(file);
    free(buffer);
    return same && offset == size;
}

/* Opens the file at path as read_back does and compares it with bytes
 * through a read-only mapping, in views of view_size bytes; 1 when it holds
 * exactly those size bytes. */
static int map_back(const wchar_t *path, const unsigned char *bytes, DWORD size, DWORD view_size)
{
    LARGE_INTEGER file_size;
    HANDLE file, mapping;
    DWORD offset = 0;
    int same = 1;
    file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT |
                           FILE_FLAG_SEQUENTIAL_SCAN,
                       NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    if (!GetFileSizeEx(file, &file_size) || file_size.QuadPart != (LONGLONG)size) {
        CloseHandle(file);
        return 0;
    }
    mapping = CreateFileMappingW(file, NULL, PAGE_READONLY, 0, 0, NULL);
    if (!mapping) {
        CloseHandle(file);
        return 0;
    }
    while (same && offset < size) {
        DWORD length = size - offset < view_size ? size - offset : view_size;
        const void *view = MapViewOfFile(mapping, FILE_MAP_READ, 0, offset, length);
        if (!view) {
            same = 0;
            break;
        }
        same = memcmp(view, bytes + offset, length) == 0;
        UnmapViewOfFile(view);
        offset += length;
    }
    CloseHandle(mapping);
    CloseHandle(file);
    return same;
}

/* True when the comma-separated list holds name (or "name:..." when prefix). */
static int has_flag(const wchar_t *list, const wchar_t *name, const wchar_t **value)
{
    size_t n = wcslen(name);
    const wchar_t *p = list;
    while (*p) {
        const wchar_t *end = wcschr(p, L',');
        size_t length = end ? (size_t)(end - p) : wcslen(p);
        if (length >= n && wcsncmp(p, name, n) == 0 &&
            (length == n || (value && p[n] == L':'))) {
            if (value)
                *value = length > n ? p + n + 1 : NULL;
            return 1;
        }
        p += length;
        if (*p == L',')
            ++p;
    }
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    wchar_t temp[MAX_PATH + 64];
    const wchar_t *mode, *chunk_text = NULL, *view_text = NULL;
    const unsigned char *bytes;
    const unsigned char *source;
    DWORD size, chunk = 0xFFFFFFFFu;
    HRSRC found;
    HGLOBAL loaded;
    HANDLE file = INVALID_HANDLE_VALUE;
    int write_single, write_chunks, write_mapping, write_none;
    double t0, t1, t2, t3, t4, t5, t6;
    char line[256];
    FILE *result;

    if (argc != 3)
        return 1;
    mode = argv[2];
    write_single = has_flag(mode, L"single", NULL);
    write_chunks = has_flag(mode, L"chunk", &chunk_text);
    write_mapping = has_flag(mode, L"mapping", NULL);
    write_none = has_flag(mode, L"none", NULL);
    if (write_single + write_chunks + write_mapping + write_none != 1)
        return 1;
    if (write_chunks) {
        chunk = chunk_text ? (DWORD)wcstoul(chunk_text, NULL, 10) : 0;
        if (chunk == 0)
            return 1;
    }
    QueryPerformanceFrequency(&frequency);
    if (!GetTempPathW(MAX_PATH, temp))
        return 2;
    wcscat(temp, L"VeltraneWindowsDriverInstaller.msi");

    t0 = now();
    found = FindResourceW(NULL, MAKEINTRESOURCEW(129), L"MSI");
    if (!found)
        return 3;
    size = SizeofResource(NULL, found);
    loaded = LoadResource(NULL, found);
    bytes = loaded ? (const unsigned char *)LockResource(loaded) : NULL;
    if (!bytes || !size)
        return 3;
    source = bytes;

    t1 = now();
    if (has_flag(mode, L"touch", NULL))
        touch_pages(bytes, size);
    if (has_flag(mode, L"heap", NULL)) {
        unsigned char *copy = VirtualAlloc(NULL, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (!copy)
            return 4;
        memcpy(copy, bytes, size);
        source = copy;
    }

    t2 = now();
    if (!write_none) {
        DWORD access = GENERIC_WRITE | (write_mapping ? GENERIC_READ : 0);
        DWORD disposition = CREATE_ALWAYS;
        if (has_flag(mode, L"new", NULL)) {
            if (!DeleteFileW(temp) && GetLastError() != ERROR_FILE_NOT_FOUND)
                return 5;
            disposition = CREATE_NEW;
        }
        file = CreateFileW(temp, access, FILE_SHARE_READ, NULL, disposition,
                           FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE)
            return 5;
    }
    if (has_flag(mode, L"presize", NULL)) {
        LARGE_INTEGER end;
        end.QuadPart = size;
        if (!SetFilePointerEx(file, end, NULL, FILE_BEGIN) || !SetEndOfFile(file))
            return 6;
        end.QuadPart = 0;
        if (!SetFilePointerEx(file, end, NULL, FILE_BEGIN))
            return 6;
    }

    t3 = now();
    if (write_mapping) {
        HANDLE mapping = CreateFileMappingW(file, NULL, PAGE_READWRITE, 0, size, NULL);
        void *view = mapping ? MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, size) : NULL;
        if (!view)
            return 7;
        memcpy(view, source, size);
        UnmapViewOfFile(view);
        CloseHandle(mapping);
    } else if (!write_none) {
        if (!write_all(file, source, size, chunk))
            return 7;
    }

    t4 = now();
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    t5 = now();
    if (has_flag(mode, L"readback", NULL) && !write_none &&
        !read_back(temp, bytes, size, chunk))
        return 9;
    if (has_flag(mode, L"readmap", &view_text) && !write_none &&
        (!view_text || !map_back(temp, bytes, size, (DWORD)wcstoul(view_text, NULL, 10))))
        return 9;
    t6 = now();

    _snprintf(line, sizeof line,
              "%ls locate=%.6f prepare=%.6f create=%.6f write=%.6f close=%.6f verify=%.6f "
              "total=%.6f\n",
              mode, t1 - t0, t2 - t1, t3 - t2, t4 - t3, t5 - t4, t6 - t5, t6 - t0);
    result = _wfopen(argv[1], L"wb");
    if (!result)
        return 8;
    fputs(line, result);
    fclose(result);
    return 0;
}
