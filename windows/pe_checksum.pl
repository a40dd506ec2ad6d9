#!/usr/bin/perl
# Sets, or with --check verifies, the checksum in the optional header of a
# PE image: the 16-bit one's-complement-style sum of the whole file (with
# the checksum field read as zero) plus the file length, as the Windows
# loader computes it for kernel drivers.
#
#   pe_checksum.pl IMAGE          write the checksum into IMAGE
#   pe_checksum.pl --check IMAGE  exit 1 unless IMAGE's checksum is right
use strict;
use warnings;

my $check = @ARGV && $ARGV[0] eq '--check';
shift @ARGV if $check;
@ARGV == 1 or die "usage: $0 [--check] IMAGE\n";
my $path = $ARGV[0];

open(my $fh, $check ? '<:raw' : '+<:raw', $path) or die "$path: $!\n";
my $image = do { local $/; <$fh> };
my $length = length $image;

$length >= 0x40 or die "$path: too short for a DOS header\n";
my $pe = unpack('V', substr($image, 0x3c, 4));
$pe + 24 + 68 <= $length && substr($image, $pe, 4) eq "PE\0\0" or die "$path: not a PE image\n";
# The optional header follows the 4-byte signature and the 20-byte file
# header; CheckSum is at offset 64 in both PE32 and PE32+.
my $field = $pe + 24 + 64;
my $stored = unpack('V', substr($image, $field, 4));

my $copy = $image;
substr($copy, $field, 4) = "\0\0\0\0";
$copy .= "\0" if $length % 2;
my $sum = 0;
for my $word (unpack('v*', $copy)) {
    $sum += $word;
    $sum = ($sum & 0xffff) + ($sum >> 16);
}
$sum = (($sum & 0xffff) + ($sum >> 16)) & 0xffff;
my $checksum = ($sum + $length) & 0xffffffff;

if ($check) {
    if ($stored != $checksum) {
        printf STDERR "%s: checksum %08x, expected %08x\n", $path, $stored, $checksum;
        exit 1;
    }
    exit 0;
}
seek($fh, $field, 0) or die "$path: $!\n";
print $fh pack('V', $checksum) or die "$path: $!\n";
close($fh) or die "$path: $!\n";
