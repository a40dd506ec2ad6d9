/* The Tarnlink port's private control codes, for any application that
 * talks to the chip through the driver (tarnlink-diag is one).
 *
 * Every code is METHOD_BUFFERED and FILE_ANY_ACCESS on FILE_DEVICE_UNKNOWN,
 * function 0x800 + n, so a code's value is 0x222000 + 4 * n. Send them with
 * DeviceIoControl on an open handle of the port (CreateFile "\\.\COM5");
 * a port nobody has open refuses every code.
 *
 * The driver passes the values through to the chip unchecked and does not
 * wake a sleeping device for them: a tool gets exactly the USB request it
 * asked for, and the status of that request. What a failure looks like from
 * Win32 (GetLastError):
 *   ERROR_NOT_SUPPORTED (50)        the chip's generation lacks the register;
 *                                   nothing was sent
 *   ERROR_INSUFFICIENT_BUFFER (122) an input or output shorter than the
 *                                   record below; nothing was sent
 *   ERROR_INVALID_PARAMETER (87)    no buffer at all, or a configuration
 *                                   memory range past address 0xFFFF
 *   anything else                   the chip refused or did not answer the
 *                                   USB request
 * Multi-byte values in the records are little-endian, as the chip takes
 * them. */
#ifndef TARNLINK_IOCTL_H
#define TARNLINK_IOCTL_H

#include <windows.h>
#include <winioctl.h>

#define TARNLINK_CODE(n) CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + (n), METHOD_BUFFERED, FILE_ANY_ACCESS)

/* --- USB descriptors ---------------------------------------------------------
 * The device descriptor (out: 18 bytes), the configuration descriptor with
 * everything that follows it (out: up to the output length) and a string
 * descriptor in US English (in: 1 byte, the string index; out: up to the
 * output length). The answer is the descriptor as the device sent it. */
#define IOCTL_TARNLINK_GET_DEVICE_DESCRIPTOR TARNLINK_CODE(0)
#define IOCTL_TARNLINK_GET_CONFIGURATION_DESCRIPTOR TARNLINK_CODE(1)
#define IOCTL_TARNLINK_GET_STRING_DESCRIPTOR TARNLINK_CODE(2)

/* --- Raw vendor requests -----------------------------------------------------
 * A vendor request to the device: a write with the value and index of
 * TARNLINK_VENDOR_WRITE (no output), a read of one byte with the value in
 * the input's first word (out: 1 byte). Control register n reads with
 * value 0x80 + n and writes with value n, index = the new contents. */
#define IOCTL_TARNLINK_VENDOR_WRITE TARNLINK_CODE(3)
#define IOCTL_TARNLINK_VENDOR_READ TARNLINK_CODE(4)

/* --- The chip's pipes --------------------------------------------------------
 * One transfer on the status pipe (interrupt in), the bulk-out pipe (the
 * input is sent) or the bulk-in pipe (out: up to the output length). The
 * port's own readers use the same pipes: stop them first with
 * IOCTL_TARNLINK_STREAM_SWITCH, or the two compete for the data. */
#define IOCTL_TARNLINK_READ_STATUS_PIPE TARNLINK_CODE(5)
#define IOCTL_TARNLINK_WRITE_BULK_PIPE TARNLINK_CODE(6)
#define IOCTL_TARNLINK_READ_BULK_PIPE TARNLINK_CODE(7)

/* --- Communication-class requests --------------------------------------------
 * SET_CONTROL_LINE_STATE with the input's word (bit 0 DTR, bit 1 RTS); the
 * port's own record of DTR and RTS is left alone, so the next serial code
 * that sets a line puts both back. SET_COMM_FEATURE(ABSTRACT_STATE) with
 * the input's word as its data. */
#define IOCTL_TARNLINK_SET_LINE_STATE TARNLINK_CODE(8)
#define IOCTL_TARNLINK_SET_COMM_FEATURE TARNLINK_CODE(9)

/* --- Configuration memory ----------------------------------------------------
 * Write: in = TARNLINK_EEPROM_WRITE, the start address (one byte: only
 * the first 256 bytes are writable) and the bytes for the following
 * addresses. Read: in = TARNLINK_EEPROM_READ, out = as many bytes as to
 * read (each takes some 15 ms: read in pieces to show progress). */
#define IOCTL_TARNLINK_EEPROM_WRITE TARNLINK_CODE(10)
#define IOCTL_TARNLINK_EEPROM_READ TARNLINK_CODE(11)

/* No operation, and the driver's registry key (refused: the driver opens
 * no key on a caller's behalf). Neither takes a buffer. */
#define IOCTL_TARNLINK_NOTHING TARNLINK_CODE(12)
#define IOCTL_TARNLINK_OPEN_REGISTRY_KEY TARNLINK_CODE(13)

/* --- Control register 1 ------------------------------------------------------
 * Set (input byte non-zero) or clear (zero) one bit of control register 1:
 * the driver reads the register, changes the bit and writes it back. The
 * GET codes answer one byte, 1 when the bit is set. Bit 0x08 exists on
 * generation 4 only; elsewhere its set does nothing and its get answers 0. */
#define IOCTL_TARNLINK_SET_CONTROL_BIT_10 TARNLINK_CODE(20)
#define IOCTL_TARNLINK_SET_CONTROL_BIT_20 TARNLINK_CODE(21)
#define IOCTL_TARNLINK_SET_CONTROL_BIT_40 TARNLINK_CODE(22)
#define IOCTL_TARNLINK_SET_CONTROL_BIT_80 TARNLINK_CODE(23)
#define IOCTL_TARNLINK_GET_CONTROL_BIT_40 TARNLINK_CODE(24)
#define IOCTL_TARNLINK_GET_CONTROL_BIT_80 TARNLINK_CODE(25)
#define IOCTL_TARNLINK_SET_CONTROL_BIT_08 TARNLINK_CODE(42)
#define IOCTL_TARNLINK_GET_CONTROL_BIT_08 TARNLINK_CODE(43)

/* The chip's generation (out: 1 byte, TARNLINK_GENERATION_*), as the
 * driver told it from the descriptors. */
#define IOCTL_TARNLINK_GET_CHIP_GENERATION TARNLINK_CODE(26)

/* --- Doubled-code registers --------------------------------------------------
 * Registers whose vendor request repeats the register number in both bytes
 * of the value (N * 0x0101 to write, (0x80 + N) * 0x0101 to read). A write
 * takes the new contents in the input's first word; a read answers 2 bytes
 * (registers 6, 7, 12, 13) or 1 byte (14, 15). Registers 6 and 7 need
 * generation 2 or later, the others generation 3 or later. */
#define IOCTL_TARNLINK_READ_REGISTER_14 TARNLINK_CODE(27)
#define IOCTL_TARNLINK_WRITE_REGISTER_14 TARNLINK_CODE(28)
#define IOCTL_TARNLINK_READ_REGISTER_15 TARNLINK_CODE(29)
#define IOCTL_TARNLINK_WRITE_REGISTER_15 TARNLINK_CODE(30)
#define IOCTL_TARNLINK_WRITE_REGISTER_6 TARNLINK_CODE(31)
#define IOCTL_TARNLINK_READ_REGISTER_6 TARNLINK_CODE(32)
#define IOCTL_TARNLINK_WRITE_REGISTER_7 TARNLINK_CODE(33)
#define IOCTL_TARNLINK_READ_REGISTER_7 TARNLINK_CODE(34)
#define IOCTL_TARNLINK_WRITE_REGISTER_12 TARNLINK_CODE(35)
#define IOCTL_TARNLINK_READ_REGISTER_12 TARNLINK_CODE(36)
#define IOCTL_TARNLINK_WRITE_REGISTER_13 TARNLINK_CODE(37)
#define IOCTL_TARNLINK_READ_REGISTER_13 TARNLINK_CODE(38)

/* The stream switch: the input's word non-zero withdraws the port's status,
 * transmit and receive transfers; zero starts the status and receive
 * readers again. While they are stopped the port receives nothing and sees
 * no modem-line changes. */
#define IOCTL_TARNLINK_STREAM_SWITCH TARNLINK_CODE(41)

/* Answers one byte, always 1: a tool's check that the handle is a Tarnlink
 * port and not some other serial driver's. */
#define IOCTL_TARNLINK_IDENTIFY TARNLINK_CODE(44)

/* --- Records -------------------------------------------------------------- */

/* Chip generations (IOCTL_TARNLINK_GET_CHIP_GENERATION). */
#define TARNLINK_GENERATION_CLASS 0      /* communication-class device, two interfaces */
#define TARNLINK_GENERATION_BASIC 1      /* vendor interface, 8-byte control endpoint */
#define TARNLINK_GENERATION_EXTENDED 2   /* exact divisors, doubled registers 6 and 7 */
#define TARNLINK_GENERATION_EXTENDED_C 3 /* and registers 12 to 15 */
#define TARNLINK_GENERATION_EXTENDED_S 4 /* and control register 1 bit 0x08 */

#define TARNLINK_DEVICE_DESCRIPTOR_LENGTH 18

typedef struct _TARNLINK_VENDOR_WRITE {
    WORD Value;
    WORD Index;
} TARNLINK_VENDOR_WRITE;

typedef struct _TARNLINK_VENDOR_READ {
    WORD Value;
} TARNLINK_VENDOR_READ;

/* Header of a configuration memory write; the data bytes follow Address. */
typedef struct _TARNLINK_EEPROM_WRITE {
    BYTE Address;
    BYTE Data[1];
} TARNLINK_EEPROM_WRITE;

typedef struct _TARNLINK_EEPROM_READ {
    WORD Address;
} TARNLINK_EEPROM_READ;

/* IOCTL_TARNLINK_STREAM_SWITCH's input. */
#define TARNLINK_STREAMS_START 0
#define TARNLINK_STREAMS_STOP 1
typedef struct _TARNLINK_STREAM_SWITCH {
    WORD Stop;
} TARNLINK_STREAM_SWITCH;

typedef struct _TARNLINK_REGISTER_WORD {
    WORD Value;
} TARNLINK_REGISTER_WORD;

#ifdef __cplusplus
#define TARNLINK_STATIC_ASSERT static_assert
#else
#define TARNLINK_STATIC_ASSERT _Static_assert
#endif
TARNLINK_STATIC_ASSERT(sizeof(TARNLINK_VENDOR_WRITE) == 4, "vendor write record is two words");
TARNLINK_STATIC_ASSERT(sizeof(TARNLINK_EEPROM_WRITE) == 2, "memory write record is address then data");
TARNLINK_STATIC_ASSERT(IOCTL_TARNLINK_GET_DEVICE_DESCRIPTOR == 0x222000, "private codes start at 0x222000");
TARNLINK_STATIC_ASSERT(IOCTL_TARNLINK_IDENTIFY == 0x2220B0, "function 0x800 + 44");

#endif
