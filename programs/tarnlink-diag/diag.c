/* tarnlink-diag: the chip behind a Tarnlink port, through the driver's
 * private control codes (tarnlink_ioctl.h).
 *
 * Every command first asks the port whether it is a Tarnlink port: another
 * driver may give the same private code values quite different meanings,
 * a configuration memory write among them. The port must be free (the
 * driver allows one open handle), so close terminal programs first. */
#include <windows.h>
#include <winioctl.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tarnlink_ioctl.h"
#include "tool_common.h"

static const char kTool[] = "tarnlink-diag";

/* The configuration memory is written one byte address wide. */
#define EEPROM_WRITABLE_END 0x100
#define EEPROM_DUMP_DEFAULT 128
#define EEPROM_PIECE 16

static BOOL Control(HANDLE port, DWORD code, const char* name, const void* in, DWORD inLength, void* out,
                    DWORD outLength, DWORD* returned) {
    if (SendControl(port, code, in, inLength, out, outLength, returned)) return TRUE;
    char what[80];
    snprintf(what, sizeof what, "%s (control code 0x%06lX)", name, (unsigned long)code);
    PrintLastError(kTool, what);
    return FALSE;
}

/* One byte answered by a code that takes no input. */
static BOOL ReadByte(HANDLE port, DWORD code, const char* name, BYTE* value) {
    DWORD returned = 0;
    if (!Control(port, code, name, NULL, 0, value, 1, &returned)) return FALSE;
    if (returned != 1) {
        fprintf(stderr, "%s: %s answered %lu bytes, expected 1\n", kTool, name, (unsigned long)returned);
        return FALSE;
    }
    return TRUE;
}

static BOOL ReadGeneration(HANDLE port, BYTE* generation) {
    return ReadByte(port, IOCTL_TARNLINK_GET_CHIP_GENERATION, "chip generation", generation);
}

/* --- generation, descriptor ------------------------------------------------- */

static int ShowGeneration(HANDLE port) {
    static const char* const kNames[] = {"communication class", "basic", "extended", "extended C", "extended S"};
    BYTE generation;
    if (!ReadGeneration(port, &generation)) return 1;
    printf("chip generation: %u (%s)\n", generation, generation < 5 ? kNames[generation] : "unknown");
    return 0;
}

static int ShowDescriptor(HANDLE port) {
    BYTE d[TARNLINK_DEVICE_DESCRIPTOR_LENGTH];
    DWORD returned = 0;
    if (!Control(port, IOCTL_TARNLINK_GET_DEVICE_DESCRIPTOR, "device descriptor", NULL, 0, d, sizeof d, &returned))
        return 1;
    if (returned < sizeof d) {
        fprintf(stderr, "%s: the device sent %lu bytes of its descriptor\n", kTool, (unsigned long)returned);
        return 1;
    }
    printf("USB %x.%02x, class 0x%02X, control packets %u bytes\n", d[3], d[2], d[4], d[7]);
    printf("vendor 0x%04X, product 0x%04X, release %x.%02x\n", d[8] | d[9] << 8, d[10] | d[11] << 8, d[13], d[12]);
    return 0;
}

/* --- registers ---------------------------------------------------------------- */

static BOOL ReadControlRegister(HANDLE port, int n, BYTE* value) {
    TARNLINK_VENDOR_READ read = {(WORD)(0x80 + n)};
    DWORD returned = 0;
    char name[40];
    snprintf(name, sizeof name, "control register %d", n);
    if (!Control(port, IOCTL_TARNLINK_VENDOR_READ, name, &read, sizeof read, value, 1, &returned)) return FALSE;
    return returned == 1;
}

static int ShowRegisters(HANDLE port) {
    static const struct {
        DWORD code;
        BYTE bit;
    } kBits[] = {{IOCTL_TARNLINK_GET_CONTROL_BIT_80, 0x80},
                 {IOCTL_TARNLINK_GET_CONTROL_BIT_40, 0x40},
                 {IOCTL_TARNLINK_GET_CONTROL_BIT_08, 0x08}};
    int status = 0;
    for (int n = 0; n < 3; n++) {
        BYTE value;
        if (ReadControlRegister(port, n, &value))
            printf("control register %d: 0x%02X\n", n, value);
        else
            status = 1;
    }
    for (size_t i = 0; i < sizeof kBits / sizeof kBits[0]; i++) {
        BYTE on;
        char name[40];
        snprintf(name, sizeof name, "register 1 bit 0x%02X", kBits[i].bit);
        if (ReadByte(port, kBits[i].code, name, &on))
            printf("%s: %s\n", name, on ? "set" : "clear");
        else
            status = 1;
    }
    return status;
}

static int SetBit(HANDLE port, const char* bitText, const char* stateText) {
    static const struct {
        BYTE bit;
        DWORD code;
    } kSetters[] = {{0x08, IOCTL_TARNLINK_SET_CONTROL_BIT_08},
                    {0x10, IOCTL_TARNLINK_SET_CONTROL_BIT_10},
                    {0x20, IOCTL_TARNLINK_SET_CONTROL_BIT_20},
                    {0x40, IOCTL_TARNLINK_SET_CONTROL_BIT_40},
                    {0x80, IOCTL_TARNLINK_SET_CONTROL_BIT_80}};
    unsigned long bit;
    BOOL on = strcmp(stateText, "on") == 0;
    if (!ParseNumber(bitText, 0xFF, &bit) || (!on && strcmp(stateText, "off") != 0)) return 2;
    for (size_t i = 0; i < sizeof kSetters / sizeof kSetters[0]; i++) {
        if (kSetters[i].bit != bit) continue;
        BYTE in = (BYTE)on;
        if (!Control(port, kSetters[i].code, "set register 1 bit", &in, 1, NULL, 0, NULL)) return 1;
        BYTE value;
        if (!ReadControlRegister(port, 1, &value)) return 1;
        printf("register 1 bit 0x%02lX %s: control register 1 is 0x%02X\n", bit, on ? "set" : "cleared", value);
        return 0;
    }
    fprintf(stderr, "%s: register 1 bits the driver can change: 0x08 0x10 0x20 0x40 0x80\n", kTool);
    return 2;
}

/* --- doubled-code registers --------------------------------------------------- */

typedef struct {
    int reg;
    DWORD read;
    DWORD write;
    DWORD width; /* bytes a read answers */
} DoubledRegister;

static const DoubledRegister kDoubled[] = {
    {6, IOCTL_TARNLINK_READ_REGISTER_6, IOCTL_TARNLINK_WRITE_REGISTER_6, 2},
    {7, IOCTL_TARNLINK_READ_REGISTER_7, IOCTL_TARNLINK_WRITE_REGISTER_7, 2},
    {12, IOCTL_TARNLINK_READ_REGISTER_12, IOCTL_TARNLINK_WRITE_REGISTER_12, 2},
    {13, IOCTL_TARNLINK_READ_REGISTER_13, IOCTL_TARNLINK_WRITE_REGISTER_13, 2},
    {14, IOCTL_TARNLINK_READ_REGISTER_14, IOCTL_TARNLINK_WRITE_REGISTER_14, 1},
    {15, IOCTL_TARNLINK_READ_REGISTER_15, IOCTL_TARNLINK_WRITE_REGISTER_15, 1},
};

/* Prints one register; a register the generation lacks is a note, not a failure. */
static BOOL ShowDoubled(HANDLE port, const DoubledRegister* r) {
    BYTE value[2] = {0, 0};
    DWORD returned = 0;
    if (!SendControl(port, r->read, NULL, 0, value, r->width, &returned)) {
        DWORD error = GetLastError();
        if (error == ERROR_NOT_SUPPORTED) {
            printf("register %2d: not on this chip generation\n", r->reg);
            return TRUE;
        }
        printf("register %2d: error %lu (%s)\n", r->reg, (unsigned long)error, ErrorText(error));
        return FALSE;
    }
    if (r->width == 2)
        printf("register %2d: 0x%04X\n", r->reg, value[0] | value[1] << 8);
    else
        printf("register %2d: 0x%02X\n", r->reg, value[0]);
    return TRUE;
}

static int Doubled(HANDLE port, int argc, char** argv) {
    if (argc == 0) {
        int status = 0;
        for (size_t i = 0; i < sizeof kDoubled / sizeof kDoubled[0]; i++)
            if (!ShowDoubled(port, &kDoubled[i])) status = 1;
        return status;
    }
    unsigned long reg, value;
    if (argc != 2 || !ParseNumber(argv[0], 15, &reg) || !ParseNumber(argv[1], 0xFFFF, &value)) return 2;
    for (size_t i = 0; i < sizeof kDoubled / sizeof kDoubled[0]; i++) {
        if (kDoubled[i].reg != (int)reg) continue;
        TARNLINK_REGISTER_WORD word = {(WORD)value};
        if (!Control(port, kDoubled[i].write, "register write", &word, sizeof word, NULL, 0, NULL)) return 1;
        return ShowDoubled(port, &kDoubled[i]) ? 0 : 1;
    }
    fprintf(stderr, "%s: doubled-code registers: 6 7 12 13 14 15\n", kTool);
    return 2;
}

/* --- configuration memory ----------------------------------------------------- */

static BOOL ReadMemory(HANDLE port, DWORD address, BYTE* data, DWORD count) {
    TARNLINK_EEPROM_READ read = {(WORD)address};
    DWORD returned = 0;
    if (!Control(port, IOCTL_TARNLINK_EEPROM_READ, "configuration memory read", &read, sizeof read, data, count,
                 &returned))
        return FALSE;
    if (returned != count) {
        fprintf(stderr, "%s: the memory read answered %lu of %lu bytes\n", kTool, (unsigned long)returned,
                (unsigned long)count);
        return FALSE;
    }
    return TRUE;
}

/* A hex dump, 16 bytes a line with their characters, read a line at a
 * time so a slow memory shows progress. */
static int DumpMemory(HANDLE port, int argc, char** argv) {
    unsigned long start = 0, count = EEPROM_DUMP_DEFAULT;
    if (argc > 2 || (argc > 0 && !ParseNumber(argv[0], 0xFFFF, &start)) ||
        (argc > 1 && (!ParseNumber(argv[1], 0x10000, &count) || count == 0)))
        return 2;
    if (start + count > 0x10000) {
        fprintf(stderr, "%s: the memory ends at address 0xFFFF\n", kTool);
        return 2;
    }
    for (unsigned long done = 0; done < count; done += EEPROM_PIECE) {
        BYTE line[EEPROM_PIECE];
        DWORD n = count - done < EEPROM_PIECE ? (DWORD)(count - done) : EEPROM_PIECE;
        if (!ReadMemory(port, (DWORD)(start + done), line, n)) return 1;
        printf("%04lX:", start + done);
        for (DWORD i = 0; i < EEPROM_PIECE; i++)
            if (i < n)
                printf(" %02X", line[i]);
            else
                printf("   ");
        printf("  ");
        for (DWORD i = 0; i < n; i++) putchar(line[i] >= 0x20 && line[i] < 0x7F ? line[i] : '.');
        putchar('\n');
        fflush(stdout);
    }
    return 0;
}

/* y or yes, in either case, on standard input; anything else (end of
 * input too) is no. */
static BOOL Confirmed(void) {
    char answer[16];
    printf("Write it? The chip keeps it across power cycles. [y/N] ");
    fflush(stdout);
    if (fgets(answer, sizeof answer, stdin) == NULL) {
        putchar('\n');
        return FALSE;
    }
    return answer[0] == 'y' || answer[0] == 'Y';
}

static int WriteMemory(HANDLE port, int argc, char** argv) {
    unsigned long address, value;
    BOOL yes = FALSE;
    if (argc == 3 && strcmp(argv[2], "--yes") == 0) {
        yes = TRUE;
        argc--;
    }
    if (argc != 2 || !ParseNumber(argv[0], 0xFFFF, &address) || !ParseNumber(argv[1], 0xFF, &value)) return 2;
    if (address >= EEPROM_WRITABLE_END) {
        fprintf(stderr, "%s: only addresses 0x00 to 0xFF can be written\n", kTool);
        return 2;
    }
    BYTE before;
    if (!ReadMemory(port, address, &before, 1)) return 1;
    printf("configuration memory 0x%02lX: 0x%02X -> 0x%02lX\n", address, before, value);
    if (!yes && !Confirmed()) {
        printf("not written\n");
        return 1;
    }
    TARNLINK_EEPROM_WRITE write = {(BYTE)address, {(BYTE)value}};
    if (!Control(port, IOCTL_TARNLINK_EEPROM_WRITE, "configuration memory write", &write, sizeof write, NULL, 0, NULL))
        return 1;
    BYTE after;
    if (!ReadMemory(port, address, &after, 1)) return 1;
    if (after != value) {
        fprintf(stderr, "%s: address 0x%02lX reads 0x%02X after the write\n", kTool, address, after);
        return 1;
    }
    printf("written and read back\n");
    return 0;
}

static int Eeprom(HANDLE port, int argc, char** argv) {
    if (argc >= 1 && strcmp(argv[0], "dump") == 0) return DumpMemory(port, argc - 1, argv + 1);
    if (argc >= 1 && strcmp(argv[0], "write") == 0) return WriteMemory(port, argc - 1, argv + 1);
    return 2;
}

/* --- stream switch ------------------------------------------------------------- */

static int Stream(HANDLE port, int argc, char** argv) {
    if (argc != 1 || (strcmp(argv[0], "on") != 0 && strcmp(argv[0], "off") != 0)) return 2;
    TARNLINK_STREAM_SWITCH in = {strcmp(argv[0], "off") == 0 ? TARNLINK_STREAMS_STOP : TARNLINK_STREAMS_START};
    if (!Control(port, IOCTL_TARNLINK_STREAM_SWITCH, "stream switch", &in, sizeof in, NULL, 0, NULL)) return 1;
    printf("streams %s\n", in.Stop ? "stopped: the port receives nothing until they start again or it reopens"
                                   : "started");
    return 0;
}

/* --- command line --------------------------------------------------------------- */

static void Usage(void) {
    printf("usage: %s PORT COMMAND\n"
           "\n"
           "  generation                  the chip generation the driver detected\n"
           "  descriptor                  the USB device descriptor's IDs\n"
           "  registers                   control registers 0 to 2 and register 1's bits\n"
           "  setbit BIT on|off           set or clear bit 0x08/0x10/0x20/0x40/0x80 of register 1\n"
           "  doubled [REG VALUE]         the doubled-code registers, or write one\n"
           "  eeprom dump [START [COUNT]] configuration memory (default 128 bytes from 0)\n"
           "  eeprom write ADDR VALUE [--yes]\n"
           "                              write one byte, after a y/N confirmation\n"
           "  stream on|off               start or stop the port's USB transfers\n"
           "\n"
           "Numbers are decimal or 0x hex. Exit status: 0 done, 1 failed or declined, 2 usage.\n",
           kTool);
}

static int Run(HANDLE port, int argc, char** argv) {
    const char* command = argv[0];
    if (strcmp(command, "generation") == 0 && argc == 1) return ShowGeneration(port);
    if (strcmp(command, "descriptor") == 0 && argc == 1) return ShowDescriptor(port);
    if (strcmp(command, "registers") == 0 && argc == 1) return ShowRegisters(port);
    if (strcmp(command, "setbit") == 0 && argc == 3) return SetBit(port, argv[1], argv[2]);
    if (strcmp(command, "doubled") == 0) return Doubled(port, argc - 1, argv + 1);
    if (strcmp(command, "eeprom") == 0) return Eeprom(port, argc - 1, argv + 1);
    if (strcmp(command, "stream") == 0) return Stream(port, argc - 1, argv + 1);
    return 2;
}

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        Usage();
        return 0;
    }
    if (argc < 3) {
        Usage();
        return 2;
    }
    HANDLE port = OpenPort(kTool, argv[1], TRUE);
    if (port == INVALID_HANDLE_VALUE) return 1;
    BYTE identity = 0;
    DWORD returned = 0;
    int status;
    if (!SendControl(port, IOCTL_TARNLINK_IDENTIFY, NULL, 0, &identity, 1, &returned) || returned != 1 ||
        identity != 1) {
        fprintf(stderr, "%s: %s does not answer as a Tarnlink port; nothing sent\n", kTool, argv[1]);
        status = 1;
    } else {
        status = Run(port, argc - 2, argv + 2);
        if (status == 2) Usage();
    }
    CloseHandle(port);
    return status;
}
