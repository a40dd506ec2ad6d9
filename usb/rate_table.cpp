// The baud rates the chip runs at exactly, with the divisor word that
// generation 2 and later chips take for each, and the look-ups that map a
// requested rate onto them.
//
// In every divisor word bits 0-8 (m) and 9-11 (e) give the rate as about
// 384,000,000 / (m * 4^e), within half a percent; bit 31 marks the word as a
// divisor rather than a plain rate. The driver only looks the words up.
#include "driver/driver_globals.h"
#include "usb/chip_protocol.h"

const RateRow rateTable[RATE_TABLE_ROWS] = {
    {6000000, 0x80000040}, {3000000, 0x80000080}, {2457600, 0x8000009C}, {1228800, 0x8000024E},
    {921600, 0x80000268},  {812500, 0x80000276},  {806400, 0x80000277},  {614400, 0x8000029C},
    {460800, 0x800002D0},  {406250, 0x800002EC},  {403200, 0x800002EE},  {268800, 0x80000459},
    {230400, 0x80000468},  {201600, 0x80000477},  {161280, 0x80000494},  {134400, 0x800004B2},
    {128000, 0x800004BB},  {115200, 0x800004D0},  {57600, 0x80000668},   {38400, 0x8000069C},
    {28800, 0x800006D0},   {19200, 0x8000084E},   {14400, 0x80000868},   {9600, 0x8000089C},
    {7200, 0x800008D0},    {4800, 0x80000A4E},    {3600, 0x80000A68},    {2400, 0x80000A9C},
    {1800, 0x80000AD0},    {1200, 0x80000C4E},    {600, 0x80000C9C},     {300, 0x80000E4E},
    {150, 0x80000E9C},     {75, 0x80000F38},      {0, 0x00000000},  // the zero row ends the table
};

// The table is ordered from the fastest rate down. A rate that is not in
// it goes to the nearer of its two neighbours; one exactly on the midpoint
// of two rows goes to the lower (slower) one. Above 4,500,000 that is
// 6,000,000; from 38 to 74 it is 75; from 1 to 36 it is the zero row. A rate
// of exactly 37 lies on the midpoint between 75 and the zero row and, like
// every other midpoint, takes the lower neighbour: the zero row.
ULONG FindNearestRate(PULONG rate) {
    const ULONG requested = *rate;
    for (ULONG row = 0; row < RATE_TABLE_ROWS; ++row) {
        if (rateTable[row].rate == requested) return row;
    }
    ULONG answer = RATE_TABLE_ROWS - 1;
    for (ULONG row = 0; row + 1 < RATE_TABLE_ROWS; ++row) {
        const ULONG upper = rateTable[row].rate;
        const ULONG lower = rateTable[row + 1].rate;
        const ULONG mid = (upper + lower) / 2;
        if (requested > mid) {
            answer = row;
            break;
        }
        if (requested < mid && requested > lower) {
            answer = row + 1;
            break;
        }
    }
    *rate = rateTable[answer].rate;
    return answer;
}

LONG FindExtRate(ULONG rate) {
    for (LONG i = 0; i < driverGlobals.extBaudCount && i < EXT_BAUD_TABLE_SIZE; ++i) {
        if (static_cast<ULONG>(driverGlobals.extBaudTable[i].baudRate) == rate) return i;
    }
    return -1;
}
