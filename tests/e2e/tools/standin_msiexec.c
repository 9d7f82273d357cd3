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

static void append_temp_listing(Buffer *b, const wchar_t *temp)
{
    wchar_t pattern[MAX_PATH + 8];
    WIN32_FIND_DATAW found;
    HANDLE search;

    if (!*temp || wcslen(temp) > MAX_PATH)
        return;
    wcscpy(pattern, temp);
    if (pattern[wcslen(pattern) - 1] != L'\\')
        wcscat(pattern, L"\\");
    wcscat(pattern, L"*");
    search = FindFirstFileW(pattern, &found);
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
