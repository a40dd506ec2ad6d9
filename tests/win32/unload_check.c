/* Loads the Win32 library, leaves a port open with a read in flight, and
 * unloads it: the unload must close the handle, remove the devices and
 * unload the driver with nothing left behind (the library ends the process
 * with status 3 and a report on stderr otherwise). C, through dlopen, as a
 * program in any language loads the library.
 *
 * With "refused" after the library's path, the machine's configuration is
 * expected to be malformed: CreateFile then fails with ERROR_FILE_NOT_FOUND. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include <windows.h>

typedef HANDLE(WINAPI* CreateFileAFn)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
typedef BOOL(WINAPI* ReadFileFn)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
typedef BOOL(WINAPI* WriteFileFn)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
typedef DWORD(WINAPI* GetLastErrorFn)(void);

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const int refused = argc > 2 && strcmp(argv[2], "refused") == 0;
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    CreateFileAFn createFile = (CreateFileAFn)dlsym(library, "CreateFileA");
    ReadFileFn readFile = (ReadFileFn)dlsym(library, "ReadFile");
    WriteFileFn writeFile = (WriteFileFn)dlsym(library, "WriteFile");
    GetLastErrorFn getLastError = (GetLastErrorFn)dlsym(library, "GetLastError");
    if (!createFile || !readFile || !writeFile || !getLastError || dlsym(library, "IofCallDriver") ||
        dlsym(library, "ExAllocatePoolWithTag")) {
        fprintf(stderr, "the library must export the Win32 functions and nothing of its kernel\n");
        return 1;
    }
    HANDLE port = createFile("COM5", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (refused) {
        if (port != INVALID_HANDLE_VALUE || getLastError() != ERROR_FILE_NOT_FOUND) return 1;
        dlclose(library);
        printf("refused as expected\n");
        return 0;
    }
    if (port == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "CreateFileA: error %u\n", (unsigned)getLastError());
        return 1;
    }
    static char buffer[64];
    static OVERLAPPED read;
    if (readFile(port, buffer, sizeof buffer, NULL, &read) || getLastError() != ERROR_IO_PENDING) {
        fprintf(stderr, "ReadFile should be pending: error %u\n", (unsigned)getLastError());
        return 1;
    }
    if (dlclose(library) != 0) return 1;
    printf("unloaded cleanly\n");
    return 0;
}
