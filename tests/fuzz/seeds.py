#!/usr/bin/env python3
# Writes the seed programs of tests/fuzz/corpus/ in the byte layout
# serial_control_program.cpp reads: a set-up byte (generation, layout,
# removal), then steps, each an operation byte, its arguments and a delay
# byte. Run it again after changing that layout.
import struct, os
out = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus')
def setup(gen, two=False, unplug=False): return bytes([gen + 5*two + 10*unplug])
def ctl(kind, func, inlen_choice=2, outlen_choice=2, valid=b'', delay=0, seed=0x12345678):
    # kind 0 standard, 4 private; length choice 2 = exact
    b = bytes([0, kind, func, inlen_choice, outlen_choice]) + struct.pack('<I', seed)
    b += bytes([1]) + valid  # valid bias on
    return b + bytes([delay])
def read(n_choice_idx, delay=0): return bytes([8, 1, n_choice_idx, delay])   # table {0,1,5,64,384,1000}
def write(n_choice_idx, delay=0): return bytes([9, 1, n_choice_idx, 1, 2, 3, 4, delay])
def purge(mask, delay=0): return bytes([10, mask - 1, delay])
def cancel(i, delay=0): return bytes([11, i, delay])
def wait(i, t, delay=0): return bytes([13, i, t, delay])
def run(ms64, delay=0): return bytes([14]) + struct.pack('<H', ms64) + bytes([delay])
def toggle(delay=0): return bytes([15, delay])
# PlaceValidSettings argument bytes
BAUD_115200 = bytes([7]); LINE_8N1 = bytes([0, 0, 3])
TIMEOUTS_STREAM = bytes([7, 7, 4, 0, 0])  # MAXULONG, MAXULONG, 100, 0, 0
def handflow(ch, fr, xon, xoff): return struct.pack('<II', ch, fr) + bytes([xon, xoff])
def chars(): return bytes([1, 0, 0, 0x7E, 1, 1])
PRIVATE_ARGS = {2: b'\x01', 11: b'\x10', 41: b'\x00'}
STANDARD_ARGS = {1: BAUD_115200, 2: bytes([3, 2]), 3: LINE_8N1, 7: TIMEOUTS_STREAM, 17: struct.pack('<H', 0x1FF),
                 19: bytes([14]), 23: chars(), 25: handflow(0x01, 0x40, 3, 3), 28: bytes([1, 2, 1]), 31: bytes([0])}
seeds = {
 'settings': setup(2) + ctl(0, 1, valid=BAUD_115200) + ctl(0, 3, valid=LINE_8N1) + ctl(0, 7, valid=TIMEOUTS_STREAM)
   + ctl(0, 25, valid=handflow(0x09, 0x83, 3, 3)) + ctl(0, 23, valid=chars()) + ctl(0, 20) + ctl(0, 21) + ctl(0, 8)
   + ctl(0, 22) + ctl(0, 24) + ctl(0, 26) + ctl(0, 27) + ctl(0, 29) + ctl(0, 30) + ctl(0, 35) + ctl(0, 37),
 'wait-and-data': setup(3) + ctl(0, 1, valid=BAUD_115200) + ctl(0, 17, valid=struct.pack('<H', 0x1FF))
   + ctl(0, 18) + write(3, 3) + read(3, 5) + wait(1, 50) + ctl(0, 18) + purge(15) + read(4) + run(640) + cancel(0),
 'xoff-and-immediate': setup(4, two=True) + ctl(0, 25, valid=handflow(0x01, 0x43, 2, 2))
   + ctl(0, 28, valid=bytes([2, 1, 1])) + ctl(0, 6) + write(5, 4) + ctl(0, 14) + write(2) + cancel(1, 5) + ctl(0, 15, delay=6),
 'private-sweep': setup(3) + b''.join(ctl(4, f, valid=PRIVATE_ARGS.get(f, b''), delay=f % 3) for f in range(45)),
 'standard-sweep': setup(2, two=True) + b''.join(ctl(0, f, valid=STANDARD_ARGS.get(f, b'')) for f in range(41)),
 'close-with-requests': setup(0, unplug=True) + ctl(0, 17, valid=struct.pack('<H', 0x1)) + ctl(0, 18) + read(4)
   + write(4) + toggle(4) + toggle() + read(2, 7) + ctl(0, 2, valid=bytes([3, 2])) + read(5),
 'error-abort': setup(2) + ctl(0, 25, valid=handflow(0x80000001, 0x40, 1, 1)) + ctl(0, 3, valid=bytes([0, 1, 2]))
   + ctl(0, 1, valid=bytes([3])) + write(3, 5) + read(3, 7) + ctl(0, 27) + ctl(0, 1, valid=BAUD_115200),
}
for name, data in seeds.items():
    open(os.path.join(out, name), 'wb').write(data)
    print(name, len(data))
