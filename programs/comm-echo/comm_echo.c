/* comm-echo: the classic serial loopback echo. Opens the port for
 * overlapped I/O, sets it up with a mode string through BuildCommDCB, and
 * for each line (the command line's, or standard input's) writes it and
 * reads it back through a loopback plug, printing what came back.
 *
 *   comm-echo COM5 [--mode "baud=115200 parity=N data=8 stop=1"] [LINE...]
 *
 * Exit status 0 when every line came back as sent. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char kTool[] = "comm-echo";

#define LINE_MAX_LENGTH 256
#define ECHO_WAIT_MS 2000

static void Fail(const char* what) {
    fprintf(stderr, "%s: %s failed: error %lu\n", kTool, what, (unsigned long)GetLastError());
}

static HANDLE OpenAndSetUp(const char* name, const char* mode) {
    /* As long as the name needs: a path cut short could name another port. */
    size_t length = strlen(name) + 5;
    char* path = malloc(length);
    if (path == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        Fail("CreateFile");
        return INVALID_HANDLE_VALUE;
    }
    snprintf(path, length, "\\\\.\\%s", name);
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    free(path);
    if (port == INVALID_HANDLE_VALUE) {
        Fail("CreateFile");
        return port;
    }
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb) || !BuildCommDCB(mode, &dcb) || !SetCommState(port, &dcb)) {
        Fail("setting up the line");
        CloseHandle(port);
        return INVALID_HANDLE_VALUE;
    }
    /* A read returns once the line has been quiet for 50 ms after a
     * character, or after ECHO_WAIT_MS with nothing at all. */
    COMMTIMEOUTS timeouts = {50, 0, ECHO_WAIT_MS, 0, 0};
    if (!SetCommTimeouts(port, &timeouts)) {
        Fail("SetCommTimeouts");
        CloseHandle(port);
        return INVALID_HANDLE_VALUE;
    }
    PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return port;
}

/* ReadFile or WriteFile with an OVERLAPPED, waited for. */
static BOOL Transfer(HANDLE port, BOOL write, void* data, DWORD length, DWORD* done) {
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (ov.hEvent == NULL) return FALSE;
    BOOL ok = write ? WriteFile(port, data, length, done, &ov) : ReadFile(port, data, length, done, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        WaitForSingleObject(ov.hEvent, INFINITE);
        ok = GetOverlappedResult(port, &ov, done, FALSE);
    }
    CloseHandle(ov.hEvent);
    return ok;
}

/* Sends one line with its CR LF and reads until the LF comes back. */
static BOOL Echo(HANDLE port, const char* text) {
    char out[LINE_MAX_LENGTH + 2], in[LINE_MAX_LENGTH + 2];
    DWORD length = (DWORD)snprintf(out, sizeof out - 2, "%s", text);
    if (length > sizeof out - 3) length = sizeof out - 3;
    out[length++] = '\r';
    out[length++] = '\n';
    DWORD written = 0, received = 0;
    if (!Transfer(port, TRUE, out, length, &written) || written != length) {
        Fail("WriteFile");
        return FALSE;
    }
    while (received < length) {
        DWORD got = 0;
        if (!Transfer(port, FALSE, in + received, length - received, &got)) {
            Fail("ReadFile");
            return FALSE;
        }
        if (got == 0) break;
        received += got;
        if (in[received - 1] == '\n') break;
    }
    in[received] = '\0';
    while (received > 0 && (in[received - 1] == '\n' || in[received - 1] == '\r')) in[--received] = '\0';
    printf("echo: %s\n", in);
    if (received != length - 2 || memcmp(in, out, received) != 0) {
        fprintf(stderr, "%s: sent \"%s\", %s\n", kTool, text, received ? "got something else back" : "nothing came back");
        return FALSE;
    }
    return TRUE;
}

int main(int argc, char** argv) {
    const char* mode = "baud=115200 parity=N data=8 stop=1";
    int first = 2;
    if (argc < 2 || argv[1][0] == '-') {
        printf("usage: %s PORT [--mode MODE] [LINE...]\n"
               "Writes each line (else each line of standard input) to PORT and reads it\n"
               "back through a loopback plug. MODE as for the mode command, default\n"
               "\"%s\".\n",
               kTool, mode);
        return 2;
    }
    if (argc > 3 && strcmp(argv[2], "--mode") == 0) {
        mode = argv[3];
        first = 4;
    }
    HANDLE port = OpenAndSetUp(argv[1], mode);
    if (port == INVALID_HANDLE_VALUE) return 1;
    int failures = 0;
    if (first < argc) {
        for (int i = first; i < argc; i++) failures += !Echo(port, argv[i]);
    } else {
        char line[LINE_MAX_LENGTH];
        while (fgets(line, sizeof line, stdin) != NULL) {
            line[strcspn(line, "\r\n")] = '\0';
            failures += !Echo(port, line);
        }
    }
    CloseHandle(port);
    return failures == 0 ? 0 : 1;
}
