/*
 * Stand-in msiexec.exe for end-to-end tests of the setup launcher.
 *
 * Copied over system32\msiexec.exe in a throwaway Wine prefix; Wine runs it
 * instead of its builtin msiexec only when WINEDLLOVERRIDES=msiexec.exe=n.
 * Each call n (1, 2, ...) writes C:\standin\call-<n>.txt in UTF-8:
 *
 *   <raw GetCommandLineW() text>
 *   self <full path of this executable>
 *   temp <value of %TEMP%>
 *   cwd <current directory>
 *   file <name> <size in bytes>     one line per file in %TEMP%
 *   dir <name>                      one line per directory in %TEMP%
 *
 * and exits with the decimal code in C:\standin\exit-<n>.txt (0 if absent).
 *
 * When C:\standin\probe-package exists, each call then also tries what
 * another program might do to every file in %TEMP% whose name ends in .msi
 * while the engine runs, and records one line per file:
 *
 *   probe <name> read=<r> write=<w> rename=<m> delete=<d>
 *
 * each 0 when it worked, else the system error code: read opens it for
 * reading (sharing everything) and reads its first 8 bytes; write opens it
 * for writing (sharing everything) and closes it unchanged; rename moves it
 * to <name>.moved and at once back; delete deletes it (last: it destroys).
 */
#include <windows.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#define STANDIN_DIR L"C:\\standin"

typedef struct {
    wchar_t *text;
    size_t length;
    size_t capacity;
} Buffer;

static void append(Buffer *b, const wchar_t *s)
{
    size_t n = wcslen(s);
    if (b->length + n + 1 > b->capacity) {
        size_t capacity = (b->length + n + 1) * 2;
        wchar_t *grown = realloc(b->text, capacity * sizeof(wchar_t));
        if (!grown)
            ExitProcess(0xE2E00001u);
        b->text = grown;
        b->capacity = capacity;
    }
    memcpy(b->text + b->length, s, (n + 1) * sizeof(wchar_t));
    b->length += n;
}

static void append_line(Buffer *b, const wchar_t *key, const wchar_t *value)
{
    append(b, key);
    append(b, L" ");
    append(b, value);
    append(b, L"\n");
}

/* Starts a listing of the folder temp; INVALID_HANDLE_VALUE if there is none. */
static HANDLE find_first_in(const wchar_t *temp, WIN32_FIND_DATAW *found)
{
    wchar_t pattern[MAX_PATH + 8];

    if (!*temp || wcslen(temp) > MAX_PATH)
        return INVALID_HANDLE_VALUE;
    wcscpy(pattern, temp);
    if (pattern[wcslen(pattern) - 1] != L'\\')
        wcscat(pattern, L"\\");
    wcscat(pattern, L"*");
    return FindFirstFileW(pattern, found);
}

static void append_temp_listing(Buffer *b, const wchar_t *temp)
{
    WIN32_FIND_DATAW found;
    HANDLE search;

    search = find_first_in(temp, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (wcscmp(found.cFileName, L".") && wcscmp(found.cFileName, L".."))
                append_line(b, L"dir", found.cFileName);
        } else {
            wchar_t size[32];
            ULONGLONG bytes = ((ULONGLONG)found.nFileSizeHigh << 32) | found.nFileSizeLow;
            append(b, L"file ");
            append(b, found.cFileName);
            _snwprintf(size, 32, L" %llu\n", bytes);
            size[31] = 0;
            append(b, size);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

static int is_package_name(const wchar_t *name)
{
    size_t n = wcslen(name);
    return n >= 4 && _wcsicmp(name + n - 4, L".msi") == 0;
}

static DWORD probe_read(const wchar_t *path)
{
    char bytes[8];
    DWORD got = 0, error = 0;
    HANDLE file = CreateFileW(path, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    if (!ReadFile(file, bytes, sizeof bytes, &got, NULL))
        error = GetLastError();
    else if (got != sizeof bytes)
        error = ERROR_HANDLE_EOF;
    CloseHandle(file);
    return error;
}

static DWORD probe_write(const wchar_t *path)
{
    HANDLE file = CreateFileW(path, GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    CloseHandle(file);
    return 0;
}

static DWORD probe_rename(const wchar_t *path)
{
    wchar_t moved[MAX_PATH + 16];
    wcscpy(moved, path);
    wcscat(moved, L".moved");
    if (!MoveFileW(path, moved))
        return GetLastError();
    /* Put it back at once; failing that, the delete probe reports the loss. */
    MoveFileW(moved, path);
    return 0;
}

static DWORD probe_delete(const wchar_t *path)
{
    return DeleteFileW(path) ? 0 : GetLastError();
}

/* Probes each package file in temp; names are gathered first, so that a
 * rename or delete cannot disturb the directory listing. */
static void append_probes(Buffer *b, const wchar_t *temp)
{
    Buffer names = {NULL, 0, 0};
    WIN32_FIND_DATAW found;
    HANDLE search;
    size_t at;

    search = find_first_in(temp, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && is_package_name(found.cFileName)) {
            append(&names, found.cFileName);
            append(&names, L"\n");
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);

    for (at = 0; at < names.length;) {
        wchar_t path[MAX_PATH + 8], line[128];
        wchar_t *name = names.text + at;
        wchar_t *end = wcschr(name, L'\n');
        DWORD read, write, rename, removal;
        *end = 0;
        at = (size_t)(end - names.text) + 1;
        if (wcslen(temp) + 1 + wcslen(name) >= MAX_PATH)
            continue;
        wcscpy(path, temp);
        if (path[wcslen(path) - 1] != L'\\')
            wcscat(path, L"\\");
        wcscat(path, name);
        read = probe_read(path);
        write = probe_write(path);
        rename = probe_rename(path);
        removal = probe_delete(path);
        append(b, L"probe ");
        append(b, name);
        _snwprintf(line, 128, L" read=%lu write=%lu rename=%lu delete=%lu\n", (unsigned long)read,
                   (unsigned long)write, (unsigned long)rename, (unsigned long)removal);
        line[127] = 0;
        append(b, line);
    }
    free(names.text);
}

/* Claims the first free call-<n>.txt; CREATE_NEW makes the claim atomic. */
static HANDLE claim_call_file(unsigned *n)
{
    CreateDirectoryW(STANDIN_DIR, NULL);
    for (*n = 1; *n < 100000; ++*n) {
        wchar_t path[64];
        HANDLE file;
        _snwprintf(path, 64, STANDIN_DIR L"\\call-%u.txt", *n);
        path[63] = 0;
        file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE)
            return file;
        if (GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    ExitProcess(0xE2E00002u);
}

static DWORD planned_exit_code(unsigned n)
{
    wchar_t path[64];
    char text[64];
    DWORD got = 0, i;
    ULONGLONG code = 0;
    HANDLE file;

    _snwprintf(path, 64, STANDIN_DIR L"\\exit-%u.txt", n);
    path[63] = 0;
    file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    if (!ReadFile(file, text, sizeof text - 1, &got, NULL))
        got = 0;
    CloseHandle(file);
    for (i = 0; i < got && (text[i] < '0' || text[i] > '9'); ++i)
        ;
    for (; i < got && text[i] >= '0' && text[i] <= '9'; ++i)
        code = code * 10 + (ULONGLONG)(text[i] - '0');
    return (DWORD)code;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR args, int show)
{
    Buffer record = {NULL, 0, 0};
    wchar_t self[32768], temp[32768], cwd[32768];
    unsigned n;
    HANDLE file;
    char *utf8;
    int bytes;
    DWORD written;

    (void)instance;
    (void)previous;
    (void)args;
    (void)show;

    file = claim_call_file(&n);

    append(&record, GetCommandLineW());
    append(&record, L"\n");
    if (!GetModuleFileNameW(NULL, self, 32768))
        self[0] = 0;
    append_line(&record, L"self", self);
    if (!GetEnvironmentVariableW(L"TEMP", temp, 32768))
        temp[0] = 0;
    append_line(&record, L"temp", temp);
    if (!GetCurrentDirectoryW(32768, cwd))
        cwd[0] = 0;
    append_line(&record, L"cwd", cwd);
    append_temp_listing(&record, temp);
    if (GetFileAttributesW(STANDIN_DIR L"\\probe-package") != INVALID_FILE_ATTRIBUTES)
        append_probes(&record, temp);

    bytes = WideCharToMultiByte(CP_UTF8, 0, record.text, (int)record.length, NULL, 0, NULL, NULL);
    utf8 = malloc((size_t)bytes + 1);
    if (!utf8)
        ExitProcess(0xE2E00001u);
    WideCharToMultiByte(CP_UTF8, 0, record.text, (int)record.length, utf8, bytes, NULL, NULL);
    if (!WriteFile(file, utf8, (DWORD)bytes, &written, NULL) || written != (DWORD)bytes)
        ExitProcess(0xE2E00003u);
    CloseHandle(file);

    return (int)planned_exit_code(n);
}
