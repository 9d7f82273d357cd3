#!/usr/bin/python3
"""Pin the varying fields of an .msi's summary information, in place.

wixl stamps every package with a random package code (summary property 9,
Revision Number) and with the build time (12, Create Time; 13, Last Save Time),
and ignores <Package Id>. To make the same sources give the same bytes, this
sets both times to a fixed moment and the package code to a UUID derived from
the rest of the file, so a package whose contents change gets a new code.

The file is patched in place: the values keep their sizes, so the compound
file's layout is untouched.

usage: pin-summary.py MSI EPOCH_SECONDS
"""

import hashlib
import struct
import sys
import uuid

SUMMARY_STREAM = "\x05SummaryInformation"
PID_REVNUMBER = 9
PID_CREATE_DTM = 12
PID_LASTSAVE_DTM = 13
VT_LPSTR = 30
VT_FILETIME = 64
END_OF_CHAIN = 0xFFFFFFFE
# A fixed namespace for package codes of this product's packages.
PACKAGE_CODE_NAMESPACE = uuid.UUID("9F1C2B7E-4A53-4E0B-8D6A-2E71C5F0A934")


class CompoundFile:
    """Just enough of the compound file format to map a stream's bytes to
    offsets in the file."""

    def __init__(self, data):
        if data[:8] != b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1":
            raise ValueError("not a compound file")
        self.data = data
        self.sector_size = 1 << struct.unpack_from("<H", data, 30)[0]
        self.mini_size = 1 << struct.unpack_from("<H", data, 32)[0]
        (n_fat, first_dir, _, self.mini_cutoff, first_minifat, _n_minifat,
         first_difat, n_difat) = struct.unpack_from("<IIIIIIII", data, 44)
        fat_sectors = list(struct.unpack_from("<109I", data, 76))
        sect = first_difat
        for _ in range(n_difat):
            per = self.sector_size // 4 - 1
            entries = struct.unpack_from("<%dI" % (per + 1), data, self.offset(sect))
            fat_sectors += entries[:per]
            sect = entries[per]
        fat = []
        for s in fat_sectors[:n_fat]:
            fat += struct.unpack_from("<%dI" % (self.sector_size // 4), data, self.offset(s))
        self.fat = fat
        minifat = b"".join(self.sector(s) for s in self.chain(first_minifat))
        self.minifat = struct.unpack("<%dI" % (len(minifat) // 4), minifat)
        dirdata = b"".join(self.sector(s) for s in self.chain(first_dir))
        self.entries = [dirdata[i:i + 128] for i in range(0, len(dirdata), 128)]
        root = self.entries[0]
        self.ministream_sectors = list(self.chain(struct.unpack_from("<I", root, 116)[0]))

    def offset(self, sect):
        return (sect + 1) * self.sector_size

    def sector(self, sect):
        return self.data[self.offset(sect):self.offset(sect) + self.sector_size]

    def chain(self, start, table=None):
        table = self.fat if table is None else table
        sect, seen = start, set()
        while sect != END_OF_CHAIN:
            if sect in seen or sect >= len(table):
                raise ValueError("broken sector chain")
            seen.add(sect)
            yield sect
            sect = table[sect]

    def stream_offsets(self, name):
        """File offset of every byte of the named stream."""
        for e in self.entries:
            name_len = struct.unpack_from("<H", e, 64)[0]
            if e[66] != 2 or e[:max(name_len - 2, 0)].decode("utf-16-le") != name:
                continue
            start, size = struct.unpack_from("<II", e, 116)
            offsets = []
            if size < self.mini_cutoff:
                per = self.sector_size // self.mini_size
                for m in self.chain(start, self.minifat):
                    host = self.ministream_sectors[m // per]
                    base = self.offset(host) + (m % per) * self.mini_size
                    offsets += range(base, base + self.mini_size)
            else:
                for s in self.chain(start):
                    base = self.offset(s)
                    offsets += range(base, base + self.sector_size)
            return offsets[:size]
        raise ValueError("no stream %r" % name)


def property_locations(stream):
    """Map property id -> (type, offset of its value) in a property set stream."""
    section = struct.unpack_from("<I", stream, 44)[0]
    count = struct.unpack_from("<I", stream, section + 4)[0]
    found = {}
    for i in range(count):
        pid, off = struct.unpack_from("<II", stream, section + 8 + 8 * i)
        vtype = struct.unpack_from("<I", stream, section + off)[0]
        found[pid] = (vtype, section + off + 4)
    return found


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[-1])
    path, epoch = sys.argv[1], int(sys.argv[2])
    data = bytearray(open(path, "rb").read())
    offsets = CompoundFile(bytes(data)).stream_offsets(SUMMARY_STREAM)
    stream = bytearray(data[o] for o in offsets)
    props = property_locations(stream)

    def put(at, raw):
        stream[at:at + len(raw)] = raw

    filetime = (epoch + 11644473600) * 10000000
    for pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM):
        vtype, at = props[pid]
        if vtype != VT_FILETIME:
            raise ValueError("summary property %d is not a FILETIME" % pid)
        put(at, struct.pack("<Q", filetime))

    vtype, at = props[PID_REVNUMBER]
    length = struct.unpack_from("<I", stream, at)[0]
    if vtype != VT_LPSTR or length != 39:  # "{GUID}" and its NUL
        raise ValueError("unexpected package code field")
    put(at + 4, b"{00000000-0000-0000-0000-000000000000}")

    def write_back():
        for i, o in enumerate(offsets):
            data[o] = stream[i]

    # The code is a hash of the package with the code blanked out.
    write_back()
    code = uuid.uuid5(PACKAGE_CODE_NAMESPACE, hashlib.sha256(data).hexdigest())
    put(at + 4, ("{%s}" % str(code).upper()).encode("ascii"))
    write_back()
    with open(path, "r+b") as f:
        f.write(data)


if __name__ == "__main__":
    main()
