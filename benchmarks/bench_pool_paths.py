from benchlib import FLOOR0, FLOOR1, FLOOR2, FLOOR3, Baseline, Case

# Arity-matched floor for the four-argument helper (the target is the two-argument floor plus 15 ns
# per further argument; the report lists both).
FLOOR4 = Baseline("call floor, 4 args: max(a, b, c, d)", "max(a, b, c, d)", "a = 1; b = 2; c = 3; d = 4")

MOD = ("from velkora.memory.pool_paths import FastSlabHeaderOps, FastBucketAllocator, "
       "FastStatsCollector, fast_align_size, fast_get_bucket_size, fast_can_fit_aligned\n")
HEADER = MOD + "h = FastSlabHeaderOps(3, 8); i = 5; data = h.pack_header()"
ALLOC = MOD + "a = FastBucketAllocator(); o = 1000; s = 64"
# Every one of the 512 buckets holds offset 1, which no 1 MiB-aligned request fits: a full miss.
ALLOC_FULL = MOD + """
a = FastBucketAllocator()
for size in range(8, 4097, 8):
    a.add_to_bucket(1, size)
"""
STATS = MOD + "c = FastStatsCollector(); s = 64; p = 8; b = True"

PY_HEADER = """
import struct
TABLE = []
for i in range(256):
    crc = i
    for _ in range(8):
        crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    TABLE.append(crc)

class PyHeader:
    def __init__(self, size_class_index, objects_per_slab):
        self.sci, self.flags, self.epoch, self.crc = size_class_index & 0xFF, 0, 0, 0
        self.bitmap = (1 << objects_per_slab) - 1

    def checksum(self):
        crc = 0xFFFF
        e = self.epoch
        for byte in (self.sci, self.flags, e & 0xFF, (e >> 8) & 0xFF, (e >> 16) & 0xFF, e >> 24):
            crc = (crc >> 8) ^ TABLE[(crc ^ byte) & 0xFF]
        return crc

    def pack_header(self):
        self.crc = self.checksum()
        return struct.pack("<BBLHQ", self.sci, self.flags, self.epoch, self.crc, self.bitmap)

    def unpack_header(self, data):
        if len(data) != 16:
            raise ValueError("bad length")
        self.sci, self.flags, self.epoch, stored, self.bitmap = struct.unpack("<BBLHQ", data)
        if stored != self.checksum():
            self.flags |= 0x80

p = PyHeader(3, 8); data = p.pack_header()
"""

PY_BUCKETS = """
class PyBuckets:
    def __init__(self, step=8, small=256, medium=4096):
        self.step, self.small, self.medium = step, small, medium
        self.lists = {}
        for size in range(step, small + 1, step):
            self.lists[size] = []
        for size in range(small + step, medium + 1, step):
            self.lists[size] = []

    def bucket(self, size):
        if size <= self.small or size <= self.medium:
            return ((size + self.step - 1) // self.step) * self.step
        return -1

    def find_best_fit_bucket(self, size, alignment):
        b = self.bucket(size)
        if b <= 0:
            return None
        lst = self.lists.get(b)
        if lst:
            o = lst.pop()
            if ((o + alignment - 1) & -alignment) + size <= o + b:
                return o
            lst.append(o)
        for key in sorted(self.lists.keys()):
            lst = self.lists[key]
            if key > b and lst:
                o = lst.pop()
                if ((o + alignment - 1) & -alignment) + size <= o + key:
                    return o
                lst.append(o)
        return None

q = PyBuckets()
for size in range(8, 4097, 8):
    q.lists[size].append(1)
"""

CASES = [
    Case("FastSlabHeaderOps.py_is_object_free(i)", "h.py_is_object_free(i)", HEADER, FLOOR1,
         max_ratio=1.5),
    Case("FastSlabHeaderOps.py_allocate_object_at(i)", "h.py_allocate_object_at(i)", HEADER, FLOOR1,
         max_ratio=1.5),
    Case("FastSlabHeaderOps.py_find_free_object()", "h.py_find_free_object()", HEADER, FLOOR0,
         max_ratio=1.5),
    Case("fast_align_size(size, alignment)", "fast_align_size(i, 8)", HEADER, FLOOR2, max_ratio=1.5),
    Case("fast_get_bucket_size(size)", "fast_get_bucket_size(i)", HEADER, FLOOR1, max_ratio=1.5),
    Case("fast_get_bucket_size(size, step)", "fast_get_bucket_size(i, 5)", HEADER, FLOOR2,
         max_ratio=1.5),
    Case("fast_can_fit_aligned(offset, size, alloc, align)", "fast_can_fit_aligned(i, 64, 56, 8)",
         HEADER, FLOOR4, max_ratio=1.5),
    Case("FastSlabHeaderOps.pack_header() vs struct + CRC", "h.pack_header()", HEADER,
         Baseline("pure Python: table CRC + struct.pack", "p.pack_header()", PY_HEADER),
         min_speedup=5.0),
    Case("FastSlabHeaderOps.unpack_header(b) vs struct + CRC", "h.unpack_header(data)", HEADER,
         Baseline("pure Python: struct.unpack + table CRC", "p.unpack_header(data)", PY_HEADER),
         min_speedup=5.0),
    Case("FastBucketAllocator add_to_bucket + remove_from_bucket", "a.add_to_bucket(o, s); "
         "a.remove_from_bucket(s)", ALLOC, FLOOR2, max_ratio=3.0),
    Case("find_best_fit_bucket miss, 512 empty (<= 1000 ns)", "a.find_best_fit_bucket(s, 8)", ALLOC,
         FLOOR2),
    Case("find_best_fit_bucket miss, 512 full (<= 1000 ns)", "a.find_best_fit_bucket(8, 1 << 20)",
         ALLOC_FULL, FLOOR2, number=20_000),
    Case("find_best_fit_bucket full miss vs dict of lists", "a.find_best_fit_bucket(8, 1 << 20)",
         ALLOC_FULL, Baseline("pure Python dict-of-lists best fit", "q.find_best_fit_bucket(8, 1 << 20)",
                              PY_BUCKETS), min_speedup=20.0, number=2_000),
    Case("FastStatsCollector.py_record_allocation(s, p, b)", "c.py_record_allocation(s, p, b)", STATS,
         FLOOR3, max_ratio=2.0),
    Case("FastStatsCollector.get_stats() (<= 1000 ns)", "c.get_stats()", STATS, FLOOR0),
]
