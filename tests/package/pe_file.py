"""Reads what the release checks need from a Windows PE image (x86 or x86-64): its symbol
count, section names, imported DLLs and functions, and exported names."""
import struct


class PeFile:
    def __init__(self, data):
        self.data = data
        header = struct.unpack_from("<I", data, 0x3C)[0]
        if data[header:header + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        (self.machine, count, _, symbol_table, self.symbol_count,
         optional_size, _) = struct.unpack_from("<HHIIIHH", data, header + 4)
        optional = header + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        self.wide = magic == 0x20B
        directories = optional + (112 if self.wide else 96)
        self.export_rva = struct.unpack_from("<I", data, directories)[0]
        self.import_rva = struct.unpack_from("<I", data, directories + 8)[0]
        # Long section names ("/4") point into the string table after the symbols.
        strings = symbol_table + 18 * self.symbol_count
        self.sections = []
        for at in range(optional + optional_size, optional + optional_size + 40 * count, 40):
            name = data[at:at + 8].rstrip(b"\0").decode()
            size, rva, raw_size, raw = struct.unpack_from("<IIII", data, at + 8)
            if name.startswith("/") and symbol_table:
                start = strings + int(name[1:])
                name = data[start:data.index(b"\0", start)].decode()
            self.sections.append((name, rva, max(size, raw_size), raw))

    def offset(self, rva):
        for _, start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("address %#x is in no section" % rva)

    def text(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode()

    def imports(self):
        """{DLL name as written: [imported function names]}."""
        result = {}
        at = self.offset(self.import_rva) if self.import_rva else None
        while at is not None:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, at)
            if name == 0:
                break
            functions, slot = [], self.offset(lookup or thunks)
            entry, by_ordinal = ("<Q", 1 << 63) if self.wide else ("<I", 1 << 31)
            width = struct.calcsize(entry)
            while True:
                value = struct.unpack_from(entry, self.data, slot)[0]
                if value == 0:
                    break
                functions.append("#%d" % (value & 0xFFFF) if value & by_ordinal else self.text((value & 0x7FFFFFFF) + 2))
                slot += width
            result[self.text(name)] = functions
            at += 20
        return result

    def exports(self):
        if not self.export_rva:
            return []
        at = self.offset(self.export_rva)
        count, names = struct.unpack_from("<II", self.data, at + 24)[0], struct.unpack_from("<I", self.data, at + 32)[0]
        return [self.text(struct.unpack_from("<I", self.data, self.offset(names) + 4 * i)[0]) for i in range(count)]
