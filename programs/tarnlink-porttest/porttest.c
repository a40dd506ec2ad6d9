/* tarnlink-porttest: does this serial port, with its driver, work?
 *
 * Run against a port with a loopback plug, or against two ports joined by a
 * null-modem cable (--peer; the data path, formats and lines are then
 * checked in both directions). Every check prints one line, PASS or FAIL with
 * the reason; a summary ends the run, and the exit status is 0 only when
 * nothing failed. The checks, in order:
 *   data path   a few bytes come back at all (without that, the data checks
 *               are skipped rather than each timing out)
 *   rates       a short payload at each rate, the rate read back
 *   formats     data bits, parity and stop bits the port says it supports
 *   lines       RTS to CTS, DTR to DSR and DCD, and the line events
 *   break       a break sent arrives as a break error (and event)
 *   flow        CTS holds the transmitter; RTS/CTS handshake keeps a burst
 *               intact while the receiver is not reading
 *   throughput  a long transfer at the highest rate, with a progress line
 *   latency     one-byte round trips, min/avg/max
 * Times come from GetTickCount, whose resolution on Windows is the clock
 * tick (10 to 16 ms): single latencies below that read as 0 or one tick. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tool_common.h"

static const char kTool[] = "tarnlink-porttest";

/* How long a check waits for a line or an event to follow before failing. */
#define LINE_WAIT_MS 500
#define EVENT_WAIT_MS 1000
/* How long past its time-out a read may take to complete. */
#define READ_GRACE_MS 3000

static const DWORD kDefaultRates[] = {300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600};
static const DWORD kQuickRates[] = {9600, 115200, 921600};
#define MAX_RATES 32
#define FORMAT_RATE 115200

typedef struct {
    HANDLE tx; /* the port under test */
    HANDLE rx; /* where its data and lines arrive: the same port on a loopback plug */
    const char* name;
    const char* peerName;
    BOOL quick;
    DWORD minThroughputPercent; /* of the line rate; 0 reports without judging */
    DWORD rates[MAX_RATES];
    int rateCount;
    COMMPROP prop;
    BOOL haveProperties;
    BOOL reversed;       /* tx and rx swapped: the peer sends to the port */
    DWORD readTimeoutMs; /* as last set on rx */
    int readsOverdue;
    int passed, failed, skipped;
} Run;

/* --- Results ------------------------------------------------------------------ */

/* A check's name with the direction it ran in, when there are two. */
static const char* Title(const Run* run, const char* check) {
    static char title[64];
    snprintf(title, sizeof title, "%s%s", check, run->reversed ? " (back)" : "");
    return title;
}

static void Pass(Run* run, const char* check, const char* detail) {
    run->passed++;
    printf("%-28s PASS%s%s\n", Title(run, check), *detail ? "  " : "", detail);
}

static void Fail(Run* run, const char* check, const char* reason) {
    run->failed++;
    printf("%-28s FAIL %s\n", Title(run, check), reason);
}

static void Skip(Run* run, const char* check, const char* reason) {
    run->skipped++;
    printf("%-28s SKIP %s\n", Title(run, check), reason);
}

/* "SetCommState: error 87 (The parameter is incorrect.)" */
static void ErrorReason(char* reason, size_t size, const char* call) {
    DWORD error = GetLastError();
    snprintf(reason, size, "%s: error %lu (%s)", call, (unsigned long)error, ErrorText(error));
}

/* --- Port set-up -------------------------------------------------------------- */

typedef struct {
    DWORD rate;
    BYTE dataBits;
    BYTE parity;   /* NOPARITY .. SPACEPARITY */
    BYTE stopBits; /* ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS */
} LineFormat;

enum Flow { FLOW_NONE, FLOW_RTS_CTS, FLOW_CTS_ONLY };

/* Sets one port's line format and flow control; DTR and RTS on, no
 * software flow control, nothing replaced or discarded. */
static BOOL Configure(HANDLE port, const LineFormat* format, enum Flow flow) {
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) return FALSE;
    dcb.BaudRate = format->rate;
    dcb.ByteSize = format->dataBits;
    dcb.Parity = format->parity;
    dcb.StopBits = format->stopBits;
    dcb.fBinary = TRUE;
    dcb.fParity = format->parity != NOPARITY;
    dcb.fOutxCtsFlow = flow != FLOW_NONE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = flow == FLOW_RTS_CTS ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    return SetCommState(port, &dcb);
}

static BOOL ConfigureBoth(Run* run, const LineFormat* format, enum Flow flow, char* reason, size_t size) {
    if (!Configure(run->tx, format, flow) || (run->rx != run->tx && !Configure(run->rx, format, flow))) {
        ErrorReason(reason, size, "SetCommState");
        return FALSE;
    }
    return TRUE;
}

/* Reads on rx return when the buffer is full or totalMs have passed;
 * writes have no time-out. */
static BOOL SetReadTimeout(Run* run, DWORD totalMs) {
    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0, sizeof timeouts);
    timeouts.ReadTotalTimeoutConstant = totalMs;
    run->readTimeoutMs = totalMs;
    return SetCommTimeouts(run->rx, &timeouts);
}

/* Empties both queues and forgets errors, so each check starts clean. */
static void Clean(Run* run) {
    DWORD errors;
    PurgeComm(run->tx, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    ClearCommError(run->tx, &errors, NULL);
    if (run->rx != run->tx) {
        PurgeComm(run->rx, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        ClearCommError(run->rx, &errors, NULL);
    }
}

/* Milliseconds n characters take on the line (start, data, parity, stop bits). */
static DWORD LineTimeMs(const LineFormat* format, DWORD n) {
    DWORD bits = 1 + format->dataBits + (format->parity != NOPARITY) + (format->stopBits == ONESTOPBIT ? 1 : 2);
    return (DWORD)((unsigned long long)n * bits * 1000 / format->rate) + 1;
}

/* --- Data exchange ------------------------------------------------------------ */

typedef void Progress(DWORD done, DWORD total, DWORD elapsedMs);

/* One overlapped request and its event. */
typedef struct {
    OVERLAPPED ov;
    BOOL pending;
    BOOL ok;
} Request;

static BOOL StartRequest(Request* request) {
    memset(request, 0, sizeof *request);
    request->ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    return request->ov.hEvent != NULL;
}

/* Waits up to ms for the request; on time-out it stays pending. */
static BOOL FinishRequest(HANDLE port, Request* request, DWORD ms, DWORD* count) {
    if (request->pending) {
        if (WaitForSingleObject(request->ov.hEvent, ms) != WAIT_OBJECT_0) return FALSE;
        request->pending = FALSE;
        request->ok = GetOverlappedResult(port, &request->ov, count, FALSE);
    }
    return request->ok;
}

static void EndRequest(Request* request) { CloseHandle(request->ov.hEvent); }

/* Reads up to n bytes on rx; returns how many arrived before the read
 * time-out. A read the driver keeps well past its time-out is aborted and
 * counted against the run (run->readsOverdue): that is a driver fault. */
static DWORD ReadSome(Run* run, BYTE* data, DWORD n) {
    Request read;
    DWORD count = 0;
    if (!StartRequest(&read)) return 0;
    read.ok = ReadFile(run->rx, data, n, &count, &read.ov);
    read.pending = !read.ok && GetLastError() == ERROR_IO_PENDING;
    if (!FinishRequest(run->rx, &read, run->readTimeoutMs + READ_GRACE_MS, &count)) {
        if (read.pending) {
            run->readsOverdue++;
            PurgeComm(run->rx, PURGE_RXABORT);
            FinishRequest(run->rx, &read, INFINITE, &count);
        }
        count = 0;
    }
    EndRequest(&read);
    return count;
}

/* Writes n bytes on run->tx while reading them on run->rx, chunk by chunk,
 * each read waiting at most as long as rx's read time-out. Returns the
 * bytes received; stops early when a read brings nothing. The write is
 * aborted if it has not finished once the reads end. */
static DWORD Exchange(Run* run, const BYTE* out, BYTE* in, DWORD n, DWORD chunk, Progress* progress,
                      BOOL* writeOk) {
    Request write;
    DWORD written = 0, received = 0;
    DWORD start = GetTickCount();
    *writeOk = FALSE;
    if (!StartRequest(&write)) return 0;
    write.ok = WriteFile(run->tx, out, n, &written, &write.ov);
    write.pending = !write.ok && GetLastError() == ERROR_IO_PENDING;
    while (received < n) {
        DWORD want = n - received < chunk ? n - received : chunk;
        DWORD got = ReadSome(run, in + received, want);
        if (got == 0) break;
        received += got;
        if (progress != NULL) progress(received, n, GetTickCount() - start);
    }
    if (!FinishRequest(run->tx, &write, received == n ? 2000 : 0, &written)) {
        PurgeComm(run->tx, PURGE_TXABORT | PURGE_TXCLEAR);
        FinishRequest(run->tx, &write, INFINITE, &written);
    }
    *writeOk = write.ok && written == n;
    EndRequest(&write);
    return received;
}

/* A pattern that changes every byte and differs between checks. */
static void FillPattern(BYTE* data, DWORD n, DWORD seed, BYTE mask) {
    for (DWORD i = 0; i < n; i++) data[i] = (BYTE)((i * 7 + seed * 13 + (i >> 8)) & mask);
}

/* The line errors ClearCommError reports on the receiving port, as text;
 * an empty string when there were none. */
static void LineErrors(HANDLE port, char* text, size_t size) {
    DWORD errors = 0;
    text[0] = '\0';
    if (!ClearCommError(port, &errors, NULL) || errors == 0) return;
    snprintf(text, size, "line errors%s%s%s%s%s", (errors & CE_FRAME) ? " framing" : "",
             (errors & CE_RXPARITY) ? " parity" : "", (errors & CE_OVERRUN) ? " overrun" : "",
             (errors & CE_RXOVER) ? " receive-queue-overflow" : "", (errors & CE_BREAK) ? " break" : "");
}

/* Sends a pattern in the given format and checks it comes back whole. */
static BOOL CheckPayload(Run* run, const LineFormat* format, DWORD n, DWORD seed, char* reason, size_t size) {
    BYTE* out = malloc(n);
    BYTE* in = malloc(n);
    BOOL ok = FALSE, writeOk = FALSE;
    BYTE mask = (BYTE)((1u << format->dataBits) - 1);
    if (out == NULL || in == NULL) {
        snprintf(reason, size, "out of memory");
        goto done;
    }
    FillPattern(out, n, seed, mask);
    DWORD wait = LineTimeMs(format, n) * 2 + 500;
    DWORD got = SetReadTimeout(run, wait) ? Exchange(run, out, in, n, n, NULL, &writeOk) : 0;
    if (got < n) {
        snprintf(reason, size, "%lu of %lu bytes came back within %lu ms", (unsigned long)got, (unsigned long)n,
                 (unsigned long)wait);
        goto done;
    }
    for (DWORD i = 0; i < n; i++) {
        if ((in[i] & mask) != out[i]) {
            snprintf(reason, size, "byte %lu came back as 0x%02X, sent 0x%02X", (unsigned long)i, in[i], out[i]);
            goto done;
        }
    }
    if (!writeOk) {
        snprintf(reason, size, "the write did not report all %lu bytes written", (unsigned long)n);
        goto done;
    }
    LineErrors(run->rx, reason, size);
    ok = reason[0] == '\0';
done:
    free(out);
    free(in);
    return ok;
}

/* --- Checks ------------------------------------------------------------------- */

static const LineFormat k8N1 = {FORMAT_RATE, 8, NOPARITY, ONESTOPBIT};

/* Without a data path every data check would only time out: find out once. */
static BOOL CheckDataPath(Run* run) {
    char reason[160] = "";
    Clean(run);
    if (ConfigureBoth(run, &k8N1, FLOW_NONE, reason, sizeof reason) && CheckPayload(run, &k8N1, 4, 1, reason, sizeof reason)) {
        Pass(run, "data path", "");
        return TRUE;
    }
    Fail(run, "data path", reason);
    printf("    (is the loopback plug in, or the null-modem cable connected to %s?)\n",
           run->peerName ? run->peerName : "the port");
    return FALSE;
}

/* Bytes for a rate: a few tens of milliseconds of line time, at least 4. */
static DWORD PayloadFor(DWORD rate) {
    DWORD n = rate / 400;
    return n < 4 ? 4 : n > 256 ? 256 : n;
}

static void CheckRates(Run* run) {
    for (int i = 0; i < run->rateCount; i++) {
        char check[40], reason[160] = "", detail[80] = "";
        LineFormat format = {run->rates[i], 8, NOPARITY, ONESTOPBIT};
        DCB dcb;
        snprintf(check, sizeof check, "rate %lu", (unsigned long)format.rate);
        Clean(run);
        if (!ConfigureBoth(run, &format, FLOW_NONE, reason, sizeof reason)) {
            Fail(run, check, reason);
            continue;
        }
        memset(&dcb, 0, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(run->tx, &dcb)) {
            ErrorReason(reason, sizeof reason, "GetCommState");
            Fail(run, check, reason);
            continue;
        }
        /* The port may run the nearest rate its divisor gives; a UART
         * tolerates some 3% between the two ends. */
        double off = ((double)dcb.BaudRate - format.rate) * 100.0 / format.rate;
        if (off > 3.0 || off < -3.0) {
            snprintf(reason, sizeof reason, "the port runs %lu baud (%+.1f%%)", (unsigned long)dcb.BaudRate, off);
            Fail(run, check, reason);
            continue;
        }
        DWORD n = PayloadFor(format.rate);
        if (!CheckPayload(run, &format, n, (DWORD)i + 2, reason, sizeof reason)) {
            Fail(run, check, reason);
            continue;
        }
        if (dcb.BaudRate != format.rate)
            snprintf(detail, sizeof detail, "%lu bytes, runs %lu baud", (unsigned long)n, (unsigned long)dcb.BaudRate);
        else
            snprintf(detail, sizeof detail, "%lu bytes", (unsigned long)n);
        Pass(run, check, detail);
    }
}

static const LineFormat kFormats[] = {
    {FORMAT_RATE, 8, NOPARITY, TWOSTOPBITS},  {FORMAT_RATE, 8, ODDPARITY, ONESTOPBIT},
    {FORMAT_RATE, 8, EVENPARITY, ONESTOPBIT}, {FORMAT_RATE, 8, MARKPARITY, ONESTOPBIT},
    {FORMAT_RATE, 8, SPACEPARITY, ONESTOPBIT}, {FORMAT_RATE, 7, EVENPARITY, ONESTOPBIT},
    {FORMAT_RATE, 7, ODDPARITY, TWOSTOPBITS}, {FORMAT_RATE, 7, NOPARITY, ONESTOPBIT},
    {FORMAT_RATE, 6, NOPARITY, ONESTOPBIT},   {FORMAT_RATE, 5, NOPARITY, ONE5STOPBITS},
};

/* Whether the port's properties say it can run the format. */
static BOOL Settable(const Run* run, const LineFormat* f) {
    static const WORD kDataBits[] = {DATABITS_5, DATABITS_6, DATABITS_7, DATABITS_8};
    static const WORD kParity[] = {PARITY_NONE, PARITY_ODD, PARITY_EVEN, PARITY_MARK, PARITY_SPACE};
    static const WORD kStop[] = {STOPBITS_10, STOPBITS_15, STOPBITS_20};
    if (!run->haveProperties) return TRUE;
    return (run->prop.wSettableData & kDataBits[f->dataBits - 5]) != 0 &&
           (run->prop.wSettableStopParity & kParity[f->parity]) != 0 &&
           (run->prop.wSettableStopParity & kStop[f->stopBits]) != 0;
}

static void CheckFormats(Run* run) {
    static const char kParityLetter[] = "NOEMS";
    static const char* const kStopText[] = {"1", "1.5", "2"};
    for (size_t i = 0; i < sizeof kFormats / sizeof kFormats[0]; i++) {
        const LineFormat* f = &kFormats[i];
        char check[40], reason[160] = "";
        snprintf(check, sizeof check, "format %u%c%s", f->dataBits, kParityLetter[f->parity], kStopText[f->stopBits]);
        if (!Settable(run, f)) {
            Skip(run, check, "the port does not offer it");
            continue;
        }
        Clean(run);
        if (ConfigureBoth(run, f, FLOW_NONE, reason, sizeof reason) &&
            CheckPayload(run, f, 32, (DWORD)i + 40, reason, sizeof reason))
            Pass(run, check, "");
        else
            Fail(run, check, reason);
    }
}

/* Polls rx's modem status until the line has the wanted state. */
static BOOL AwaitLine(HANDLE rx, DWORD bit, BOOL on, DWORD* status) {
    DWORD start = GetTickCount();
    for (;;) {
        if (!GetCommModemStatus(rx, status)) return FALSE;
        if (((*status & bit) != 0) == on) return TRUE;
        if (GetTickCount() - start > LINE_WAIT_MS) return FALSE;
        Sleep(5);
    }
}

/* Sets one output line on tx and expects each of its partners on rx to follow. */
static void CheckLine(Run* run, const char* check, DWORD setCode, DWORD clearCode, const DWORD* bits,
                      const char* const* names, int count) {
    static const BOOL kSteps[] = {FALSE, TRUE, FALSE, TRUE};
    char reason[160] = "";
    for (size_t s = 0; s < sizeof kSteps / sizeof kSteps[0] && reason[0] == '\0'; s++) {
        if (!EscapeCommFunction(run->tx, kSteps[s] ? setCode : clearCode)) {
            ErrorReason(reason, sizeof reason, "EscapeCommFunction");
            break;
        }
        for (int b = 0; b < count; b++) {
            DWORD status = 0;
            if (!AwaitLine(run->rx, bits[b], kSteps[s], &status)) {
                snprintf(reason, sizeof reason, "%s stayed %s for %d ms after %s went %s", names[b],
                         kSteps[s] ? "off" : "on", LINE_WAIT_MS, check, kSteps[s] ? "on" : "off");
                break;
            }
        }
    }
    char title[40];
    snprintf(title, sizeof title, "line %s", check);
    if (reason[0] == '\0')
        Pass(run, title, "");
    else
        Fail(run, title, reason);
}

/* Starts WaitCommEvent on rx for mask. */
static BOOL StartEventWait(HANDLE rx, DWORD mask, Request* wait, DWORD* events) {
    if (!SetCommMask(rx, mask) || !StartRequest(wait)) return FALSE;
    wait->ok = WaitCommEvent(rx, events, &wait->ov);
    wait->pending = !wait->ok && GetLastError() == ERROR_IO_PENDING;
    return wait->ok || wait->pending;
}

/* Ends a wait that is still pending (a new mask completes it) and clears the mask. */
static void StopEventWait(HANDLE rx, Request* wait) {
    DWORD count;
    SetCommMask(rx, 0);
    FinishRequest(rx, wait, INFINITE, &count);
    EndRequest(wait);
}

static void CheckLineEvent(Run* run) {
    Request wait;
    DWORD events = 0, count = 0;
    char reason[160] = "";
    EscapeCommFunction(run->tx, SETRTS);
    Sleep(50);
    if (!StartEventWait(run->rx, EV_CTS, &wait, &events)) {
        ErrorReason(reason, sizeof reason, "WaitCommEvent");
    } else {
        EscapeCommFunction(run->tx, CLRRTS);
        if (!FinishRequest(run->rx, &wait, EVENT_WAIT_MS, &count))
            snprintf(reason, sizeof reason, "no EV_CTS within %d ms of RTS going off", EVENT_WAIT_MS);
        else if ((events & EV_CTS) == 0)
            snprintf(reason, sizeof reason, "the wait ended with events 0x%lX, not EV_CTS", (unsigned long)events);
        StopEventWait(run->rx, &wait);
    }
    EscapeCommFunction(run->tx, SETRTS);
    if (reason[0] == '\0')
        Pass(run, "line event EV_CTS", "");
    else
        Fail(run, "line event EV_CTS", reason);
}

static void CheckLines(Run* run) {
    static const DWORD kRtsBits[] = {MS_CTS_ON};
    static const char* const kRtsNames[] = {"CTS"};
    static const DWORD kDtrBits[] = {MS_DSR_ON, MS_RLSD_ON};
    static const char* const kDtrNames[] = {"DSR", "DCD"};
    char reason[160] = "";
    Clean(run);
    if (!ConfigureBoth(run, &k8N1, FLOW_NONE, reason, sizeof reason)) {
        Fail(run, "lines", reason);
        return;
    }
    CheckLine(run, "RTS", SETRTS, CLRRTS, kRtsBits, kRtsNames, 1);
    CheckLine(run, "DTR", SETDTR, CLRDTR, kDtrBits, kDtrNames, 2);
    CheckLineEvent(run);
}

/* Polls ClearCommError on rx until it reports a break. */
static BOOL AwaitBreakError(HANDLE rx) {
    DWORD start = GetTickCount();
    for (;;) {
        DWORD errors = 0;
        if (!ClearCommError(rx, &errors, NULL)) return FALSE;
        if (errors & CE_BREAK) return TRUE;
        if (GetTickCount() - start > EVENT_WAIT_MS) return FALSE;
        Sleep(5);
    }
}

/* A 50 ms break must come back as CE_BREAK. Whether the port also raises
 * EV_BREAK is reported but not required: some USB serial drivers accept
 * the event in the wait mask and never raise it. */
static void CheckBreak(Run* run) {
    Request wait;
    DWORD events = 0, count = 0;
    char reason[160] = "";
    const char* detail = "";
    Clean(run);
    if (!ConfigureBoth(run, &k8N1, FLOW_NONE, reason, sizeof reason)) {
        Fail(run, "break", reason);
        return;
    }
    if (!StartEventWait(run->rx, EV_BREAK, &wait, &events)) {
        ErrorReason(reason, sizeof reason, "WaitCommEvent");
        Fail(run, "break", reason);
        return;
    }
    if (!SetCommBreak(run->tx)) ErrorReason(reason, sizeof reason, "SetCommBreak");
    Sleep(50);
    if (!ClearCommBreak(run->tx) && reason[0] == '\0') ErrorReason(reason, sizeof reason, "ClearCommBreak");
    if (reason[0] == '\0' && !AwaitBreakError(run->rx))
        snprintf(reason, sizeof reason, "ClearCommError did not report CE_BREAK within %d ms", EVENT_WAIT_MS);
    if (reason[0] == '\0')
        detail = FinishRequest(run->rx, &wait, 0, &count) && (events & EV_BREAK) ? "CE_BREAK and EV_BREAK"
                                                                                : "CE_BREAK; no EV_BREAK event";
    StopEventWait(run->rx, &wait);
    if (reason[0] == '\0')
        Pass(run, "break", detail);
    else
        Fail(run, "break", reason);
}

/* With CTS flow control on tx and RTS off at the far end, nothing may
 * arrive; once RTS comes on, everything does. */
static void CheckCtsHold(Run* run) {
    const DWORD n = 64;
    BYTE out[64], in[64];
    char reason[160] = "";
    LineFormat format = k8N1;
    Clean(run);
    if (!Configure(run->tx, &format, FLOW_CTS_ONLY) || (run->rx != run->tx && !Configure(run->rx, &format, FLOW_NONE))) {
        ErrorReason(reason, sizeof reason, "SetCommState");
        Fail(run, "flow CTS holds transmit", reason);
        return;
    }
    FillPattern(out, n, 90, 0xFF);
    EscapeCommFunction(run->rx, CLRRTS);
    Sleep(50);
    Request write;
    DWORD written = 0, got = 0, more = 0;
    SetReadTimeout(run, 200);
    if (!StartRequest(&write)) {
        ErrorReason(reason, sizeof reason, "CreateEvent");
        Fail(run, "flow CTS holds transmit", reason);
        return;
    }
    write.ok = WriteFile(run->tx, out, n, &written, &write.ov);
    write.pending = !write.ok && GetLastError() == ERROR_IO_PENDING;
    got = ReadSome(run, in, n);
    if (got != 0) snprintf(reason, sizeof reason, "%lu bytes went out while CTS was off", (unsigned long)got);
    EscapeCommFunction(run->rx, SETRTS);
    SetReadTimeout(run, LineTimeMs(&format, n) * 2 + 500);
    if (got < n) more = ReadSome(run, in + got, n - got);
    if (reason[0] == '\0' && got + more < n)
        snprintf(reason, sizeof reason, "%lu of %lu bytes arrived after CTS came on", (unsigned long)(got + more),
                 (unsigned long)n);
    if (!FinishRequest(run->tx, &write, 2000, &written)) {
        PurgeComm(run->tx, PURGE_TXABORT | PURGE_TXCLEAR);
        FinishRequest(run->tx, &write, INFINITE, &written);
        if (reason[0] == '\0') snprintf(reason, sizeof reason, "the write never finished");
    }
    EndRequest(&write);
    if (reason[0] == '\0' && memcmp(in, out, n) != 0) snprintf(reason, sizeof reason, "the data changed on the way");
    if (reason[0] == '\0')
        Pass(run, "flow CTS holds transmit", "");
    else
        Fail(run, "flow CTS holds transmit", reason);
}

/* The driver's receive queue in bytes, as the port reports it. */
static DWORD ReceiveQueue(HANDLE rx) {
    COMMPROP prop;
    memset(&prop, 0, sizeof prop);
    prop.wPacketLength = sizeof prop;
    if (!GetCommProperties(rx, &prop) || prop.dwCurrentRxQueue == 0) return 4096;
    return prop.dwCurrentRxQueue;
}

/* A burst of four receive queues while the receiver does not read for the
 * burst's whole line time: the receiving driver drops RTS as its queue
 * fills, the sender's CTS stops it, and nothing is lost. Without the
 * handshake three quarters of the burst would overflow the queue. */
static void CheckHandshakeUnderLoad(Run* run) {
    const DWORD queue = ReceiveQueue(run->rx), n = queue * 4;
    LineFormat format = {run->rates[run->rateCount - 1], 8, NOPARITY, ONESTOPBIT};
    char reason[160] = "", detail[80];
    BYTE* out = malloc(n);
    BYTE* in = malloc(n);
    Request write;
    DWORD written = 0, received = 0;
    if (out == NULL || in == NULL || !StartRequest(&write)) {
        free(out);
        free(in);
        Fail(run, "flow RTS/CTS under load", "out of memory");
        return;
    }
    Clean(run);
    if (ConfigureBoth(run, &format, FLOW_RTS_CTS, reason, sizeof reason)) {
        FillPattern(out, n, 77, 0xFF);
        write.ok = WriteFile(run->tx, out, n, &written, &write.ov);
        write.pending = !write.ok && GetLastError() == ERROR_IO_PENDING;
        Sleep(LineTimeMs(&format, n) + 100);
        SetReadTimeout(run, LineTimeMs(&format, queue) + 1000);
        while (received < n) {
            DWORD got = ReadSome(run, in + received, n - received);
            if (got == 0) break;
            received += got;
        }
        if (!FinishRequest(run->tx, &write, 2000, &written)) {
            PurgeComm(run->tx, PURGE_TXABORT | PURGE_TXCLEAR);
            FinishRequest(run->tx, &write, INFINITE, &written);
        }
        if (received < n)
            snprintf(reason, sizeof reason, "%lu of %lu bytes arrived (lost while the receiver waited?)",
                     (unsigned long)received, (unsigned long)n);
        else if (memcmp(in, out, n) != 0)
            snprintf(reason, sizeof reason, "the data changed on the way");
        else
            LineErrors(run->rx, reason, sizeof reason);
    }
    EndRequest(&write);
    free(out);
    free(in);
    snprintf(detail, sizeof detail, "%lu bytes at %lu baud into a %lu-byte queue", (unsigned long)n,
             (unsigned long)format.rate, (unsigned long)queue);
    if (reason[0] == '\0')
        Pass(run, "flow RTS/CTS under load", detail);
    else
        Fail(run, "flow RTS/CTS under load", reason);
}

static void ShowProgress(DWORD done, DWORD total, DWORD elapsedMs) {
    double rate = elapsedMs ? done * 1000.0 / elapsedMs : 0.0;
    printf("\rthroughput  %7lu/%lu bytes  %6.1f kB/s ", (unsigned long)done, (unsigned long)total, rate / 1000.0);
    fflush(stdout);
}

static void CheckThroughput(Run* run) {
    const DWORD n = run->quick ? 8192 : 32768;
    LineFormat format = {run->rates[run->rateCount - 1], 8, NOPARITY, ONESTOPBIT};
    char reason[160] = "", detail[120];
    BYTE* out = malloc(n);
    BYTE* in = malloc(n);
    BOOL writeOk = FALSE;
    if (out == NULL || in == NULL) {
        free(out);
        free(in);
        Fail(run, "throughput", "out of memory");
        return;
    }
    Clean(run);
    if (ConfigureBoth(run, &format, FLOW_RTS_CTS, reason, sizeof reason)) {
        FillPattern(out, n, 123, 0xFF);
        DWORD start = GetTickCount();
        SetReadTimeout(run, LineTimeMs(&format, 1024) * 2 + 500);
        DWORD got = Exchange(run, out, in, n, 1024, ShowProgress, &writeOk);
        DWORD elapsed = GetTickCount() - start;
        printf("\r%60s\r", "");
        double bytesPerSecond = elapsed ? got * 1000.0 / elapsed : 0.0;
        double lineBytesPerSecond = format.rate / 10.0;
        /* A USB bridge keeps the line busy; below a quarter of it (the
         * default), something stalls between the chip and the application. */
        if (got < n)
            snprintf(reason, sizeof reason, "%lu of %lu bytes came back", (unsigned long)got, (unsigned long)n);
        else if (memcmp(in, out, n) != 0)
            snprintf(reason, sizeof reason, "the data changed on the way");
        else if (bytesPerSecond * 100 < lineBytesPerSecond * run->minThroughputPercent)
            snprintf(reason, sizeof reason, "%.1f kB/s, under %lu%% of the line's %.1f kB/s", bytesPerSecond / 1000,
                     (unsigned long)run->minThroughputPercent, lineBytesPerSecond / 1000);
        else
            LineErrors(run->rx, reason, sizeof reason);
        snprintf(detail, sizeof detail, "%lu bytes at %lu baud in %lu ms: %.1f kB/s, %.0f%% of the line",
                 (unsigned long)n, (unsigned long)format.rate, (unsigned long)elapsed, bytesPerSecond / 1000,
                 bytesPerSecond * 100 / lineBytesPerSecond);
    }
    free(out);
    free(in);
    if (reason[0] == '\0')
        Pass(run, "throughput", detail);
    else
        Fail(run, "throughput", reason);
}

static void CheckLatency(Run* run) {
    const int trips = run->quick ? 8 : 20;
    LineFormat format = {run->rates[run->rateCount - 1], 8, NOPARITY, ONESTOPBIT};
    char reason[160] = "", detail[120];
    DWORD min = 0xFFFFFFFFu, max = 0, total = 0;
    Clean(run);
    if (ConfigureBoth(run, &format, FLOW_NONE, reason, sizeof reason) && SetReadTimeout(run, 1000)) {
        for (int i = 0; i < trips && reason[0] == '\0'; i++) {
            BYTE out = (BYTE)(0x30 + i), in = 0;
            BOOL writeOk;
            DWORD start = GetTickCount();
            DWORD got = Exchange(run, &out, &in, 1, 1, NULL, &writeOk);
            DWORD ms = GetTickCount() - start;
            if (got != 1 || in != out)
                snprintf(reason, sizeof reason, "round trip %d: the byte did not come back within 1000 ms", i + 1);
            if (ms < min) min = ms;
            if (ms > max) max = ms;
            total += ms;
        }
    }
    if (reason[0] != '\0') {
        Fail(run, "latency", reason);
        return;
    }
    snprintf(detail, sizeof detail, "%d round trips of one byte at %lu baud: min %lu, avg %.1f, max %lu ms", trips,
             (unsigned long)format.rate, (unsigned long)min, (double)total / trips, (unsigned long)max);
    Pass(run, "latency", detail);
}

/* --- Command line ------------------------------------------------------------- */

static void Usage(void) {
    printf("usage: %s PORT [--peer PORT2] [--quick] [--rates LIST] [--min-throughput PERCENT]\n"
           "\n"
           "Tests a serial port and its driver: rates, formats, modem lines, break,\n"
           "flow control, throughput and latency. Exit status 0 when every check passes.\n"
           "\n"
           "  PORT          the port under test, e.g. COM5\n"
           "  --peer PORT2  a second port joined to PORT by a null-modem cable\n"
           "                (TX-RX, RTS-CTS, DTR-DSR and DCD, both ways); without it\n"
           "                PORT needs a loopback plug wired TX to RX, RTS to CTS,\n"
           "                DTR to DSR and DCD (RI is not tested)\n"
           "  --quick       fewer rates and shorter transfers\n"
           "  --rates LIST  comma-separated rates, e.g. 9600,115200; the last one is\n"
           "                used for the flow-control, throughput and latency runs\n"
           "  --min-throughput PERCENT\n"
           "                the share of the line rate the throughput run must reach\n"
           "                (default 25; 0 reports the rate without judging it)\n",
           kTool);
}

static BOOL ParseRates(Run* run, const char* list) {
    char copy[256];
    /* Cut short, the last rate would lose digits and still parse. */
    if (strlen(list) >= sizeof copy) return FALSE;
    snprintf(copy, sizeof copy, "%s", list);
    run->rateCount = 0;
    for (char* item = strtok(copy, ","); item != NULL; item = strtok(NULL, ",")) {
        unsigned long rate;
        if (run->rateCount == MAX_RATES || !ParseNumber(item, 12000000, &rate) || rate < 50) return FALSE;
        run->rates[run->rateCount++] = (DWORD)rate;
    }
    return run->rateCount > 0;
}

static BOOL ParseArguments(Run* run, int argc, char** argv) {
    const DWORD* rates = kDefaultRates;
    size_t count = sizeof kDefaultRates / sizeof kDefaultRates[0];
    const char* rateList = NULL;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--quick") == 0)
            run->quick = TRUE;
        else if (strcmp(argv[i], "--peer") == 0 && i + 1 < argc)
            run->peerName = argv[++i];
        else if (strcmp(argv[i], "--rates") == 0 && i + 1 < argc)
            rateList = argv[++i];
        else if (strcmp(argv[i], "--min-throughput") == 0 && i + 1 < argc) {
            unsigned long percent;
            if (!ParseNumber(argv[++i], 100, &percent)) return FALSE;
            run->minThroughputPercent = (DWORD)percent;
        }
        else if (argv[i][0] != '-' && run->name == NULL)
            run->name = argv[i];
        else
            return FALSE;
    }
    if (run->name == NULL) return FALSE;
    if (rateList != NULL) return ParseRates(run, rateList);
    if (run->quick) {
        rates = kQuickRates;
        count = sizeof kQuickRates / sizeof kQuickRates[0];
    }
    for (size_t i = 0; i < count; i++) run->rates[i] = rates[i];
    run->rateCount = (int)count;
    return TRUE;
}

static BOOL OpenPorts(Run* run) {
    run->tx = OpenPort(kTool, run->name, TRUE);
    if (run->tx == INVALID_HANDLE_VALUE) return FALSE;
    run->rx = run->tx;
    if (run->peerName != NULL) {
        run->rx = OpenPort(kTool, run->peerName, TRUE);
        if (run->rx == INVALID_HANDLE_VALUE) {
            CloseHandle(run->tx);
            return FALSE;
        }
    }
    run->prop.wPacketLength = sizeof run->prop;
    run->haveProperties = GetCommProperties(run->tx, &run->prop);
    SetupComm(run->tx, 4096, 4096);
    if (run->rx != run->tx) SetupComm(run->rx, 4096, 4096);
    return TRUE;
}

static void SwapDirection(Run* run) {
    HANDLE tx = run->tx;
    run->tx = run->rx;
    run->rx = tx;
    run->reversed = !run->reversed;
}

int main(int argc, char** argv) {
    Run run;
    memset(&run, 0, sizeof run);
    run.minThroughputPercent = 25;
    if (argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        Usage();
        return 0;
    }
    if (!ParseArguments(&run, argc, argv)) {
        Usage();
        return 2;
    }
    if (!OpenPorts(&run)) return 1;
    printf("%s: %s, %s\n", kTool, run.name,
           run.peerName ? "null-modem cable to the peer port" : "loopback plug");
    if (run.peerName) printf("peer: %s\n", run.peerName);

    BOOL dataPath = CheckDataPath(&run);
    if (dataPath) {
        CheckRates(&run);
        CheckFormats(&run);
    } else {
        Skip(&run, "rates and formats", "no data path");
    }
    CheckLines(&run);
    CheckBreak(&run);
    if (run.peerName != NULL) {
        /* The cable's other half: the peer sends, the port under test receives. */
        SwapDirection(&run);
        if (CheckDataPath(&run)) CheckFormats(&run);
        CheckLines(&run);
        SwapDirection(&run);
    }
    if (dataPath) {
        CheckCtsHold(&run);
        CheckHandshakeUnderLoad(&run);
        CheckThroughput(&run);
        CheckLatency(&run);
    } else {
        Skip(&run, "flow, throughput, latency", "no data path");
    }

    if (run.readsOverdue > 0) {
        char reason[80];
        snprintf(reason, sizeof reason, "%d read(s) outlived their time-out by %d ms", run.readsOverdue, READ_GRACE_MS);
        Fail(&run, "read time-outs", reason);
    }
    Clean(&run);
    CloseHandle(run.tx);
    if (run.rx != run.tx) CloseHandle(run.rx);
    printf("summary: %d passed, %d failed, %d skipped: %s\n", run.passed, run.failed, run.skipped,
           run.failed == 0 ? "PASS" : "FAIL");
    return run.failed == 0 ? 0 : 1;
}
