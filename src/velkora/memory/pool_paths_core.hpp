// Pure C++ core of velkora.memory.pool_paths: the packed slab header with its CRC-16 and free-object
// bitmap, the bucket index of free offsets with best-fit search, the size helpers and the allocation
// counters. No Python here; the binding converts arguments and builds results.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace pool_paths::core {

// ---- CRC-16/MODBUS -------------------------------------------------------------------------------
// Reflected polynomial 0x8005 (0xA001 shifted right), initial value 0xFFFF, no final XOR. The table
// is built by the compiler; nothing can observe when it was filled.

constexpr std::array<uint16_t, 256> make_crc16_table() {
    std::array<uint16_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ 0xA001u : crc >> 1;
        t[i] = static_cast<uint16_t>(crc);
    }
    return t;
}

inline constexpr std::array<uint16_t, 256> crc16_table = make_crc16_table();

constexpr uint16_t crc16_update(uint16_t crc, uint8_t byte) {
    return static_cast<uint16_t>((crc >> 8) ^ crc16_table[(crc ^ byte) & 0xFFu]);
}

constexpr uint16_t crc16_modbus(const uint8_t* data, std::size_t n) {
    uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) crc = crc16_update(crc, data[i]);
    return crc;
}

namespace detail {
constexpr uint16_t crc16_of_text(const char* s) {
    uint16_t crc = 0xFFFF;
    for (; *s; ++s) crc = crc16_update(crc, static_cast<uint8_t>(*s));
    return crc;
}
}  // namespace detail
// The standard check value of this CRC, through the very table the header checksum uses.
static_assert(detail::crc16_of_text("123456789") == 0x4B37);

// ---- slab header ---------------------------------------------------------------------------------

inline constexpr uint8_t kFlagInUse = 0x10;
inline constexpr uint8_t kFlagCorrupt = 0x80;
inline constexpr std::size_t kHeaderBytes = 16;

#pragma pack(push, 1)
struct FastSlabHeader {
    uint8_t size_class_index;
    uint8_t flags;
    uint32_t epoch;
    uint16_t crc;
    uint64_t free_bitmap;
};
#pragma pack(pop)
static_assert(sizeof(FastSlabHeader) == kHeaderBytes);

// The bitmap of a slab whose objects are all free. A negative count is taken as an empty slab.
constexpr uint64_t all_free_mask(int32_t objects_per_slab) {
    if (objects_per_slab <= 0) return 0;
    if (objects_per_slab >= 64) return ~uint64_t{0};
    return (uint64_t{1} << objects_per_slab) - 1;
}

struct SlabHeaderState {
    FastSlabHeader header;
    int32_t objects_per_slab;
};

inline void slab_init(SlabHeaderState& s, int32_t size_class_index, int32_t objects_per_slab) {
    s.header.size_class_index = static_cast<uint8_t>(static_cast<uint32_t>(size_class_index) & 0xFFu);
    s.header.flags = 0;
    s.header.epoch = 0;
    s.header.crc = 0;
    s.header.free_bitmap = all_free_mask(objects_per_slab);
    s.objects_per_slab = objects_per_slab;
}

// The native operations. A negative index names no object: never free, and allocating or releasing
// it leaves the header untouched. Indices of 64 and above are outside the map but still count as an
// allocation or release (flags and epoch change).
inline bool is_object_free(const SlabHeaderState& s, int32_t object_index) {
    if (object_index < 0 || object_index >= 64) return false;
    return ((s.header.free_bitmap >> object_index) & 1u) != 0;
}

inline void allocate_object(SlabHeaderState& s, int32_t object_index) {
    if (object_index < 0) return;
    if (object_index < 64) s.header.free_bitmap &= ~(uint64_t{1} << object_index);
    s.header.flags = static_cast<uint8_t>(s.header.flags | kFlagInUse);
    s.header.epoch = s.header.epoch + 1u;  // unsigned: wraps modulo 2^32
}

inline void deallocate_object(SlabHeaderState& s, int32_t object_index) {
    if (object_index < 0) return;
    if (object_index < 64) s.header.free_bitmap |= uint64_t{1} << object_index;
    s.header.epoch = s.header.epoch + 1u;
    if (s.header.free_bitmap == all_free_mask(s.objects_per_slab)) {
        s.header.flags = static_cast<uint8_t>(s.header.flags & ~kFlagInUse);
    }
}

constexpr int32_t lowest_set_bit(uint64_t bits) {
    return bits == 0 ? -1 : static_cast<int32_t>(std::countr_zero(bits));
}

inline int32_t find_free_object(const SlabHeaderState& s) {
    return lowest_set_bit(s.header.free_bitmap);
}

// CRC over size_class_index, flags and the four epoch bytes from least significant up.
inline uint16_t compute_checksum(const FastSlabHeader& h) {
    const uint8_t bytes[6] = {h.size_class_index,
                              h.flags,
                              static_cast<uint8_t>(h.epoch),
                              static_cast<uint8_t>(h.epoch >> 8),
                              static_cast<uint8_t>(h.epoch >> 16),
                              static_cast<uint8_t>(h.epoch >> 24)};
    return crc16_modbus(bytes, sizeof bytes);
}

// Little-endian byte form, laid out as "<BBLHQ".
inline void encode_header(const FastSlabHeader& h, uint8_t out[kHeaderBytes]) {
    out[0] = h.size_class_index;
    out[1] = h.flags;
    for (int i = 0; i < 4; ++i) out[2 + i] = static_cast<uint8_t>(h.epoch >> (8 * i));
    out[6] = static_cast<uint8_t>(h.crc);
    out[7] = static_cast<uint8_t>(h.crc >> 8);
    for (int i = 0; i < 8; ++i) out[8 + i] = static_cast<uint8_t>(h.free_bitmap >> (8 * i));
}

// The fields of a byte form; crc holds the stored checksum.
inline FastSlabHeader decode_header(const uint8_t in[kHeaderBytes]) {
    FastSlabHeader h{};
    h.size_class_index = in[0];
    h.flags = in[1];
    uint32_t epoch = 0;
    for (int i = 3; i >= 0; --i) epoch = (epoch << 8) | in[2 + i];
    h.epoch = epoch;
    h.crc = static_cast<uint16_t>(in[6] | (uint16_t{in[7]} << 8));
    uint64_t bitmap = 0;
    for (int i = 7; i >= 0; --i) bitmap = (bitmap << 8) | in[8 + i];
    h.free_bitmap = bitmap;
    return h;
}

// Stores the checksum and writes the byte form.
inline void pack_header(SlabHeaderState& s, uint8_t out[kHeaderBytes]) {
    s.header.crc = compute_checksum(s.header);
    encode_header(s.header, out);
}

struct UnpackResult {
    bool corrupt;
    uint16_t stored_crc;
    uint16_t computed_crc;
};

// Loads every field but the checksum; a mismatch marks the header corrupt (flag 0x80) and keeps it.
inline UnpackResult unpack_header(SlabHeaderState& s, const uint8_t in[kHeaderBytes]) {
    const FastSlabHeader d = decode_header(in);
    s.header.size_class_index = d.size_class_index;
    s.header.flags = d.flags;
    s.header.epoch = d.epoch;
    s.header.free_bitmap = d.free_bitmap;
    const uint16_t computed = compute_checksum(s.header);
    const bool corrupt = d.crc != computed;
    if (corrupt) s.header.flags = static_cast<uint8_t>(s.header.flags | kFlagCorrupt);
    return {corrupt, d.crc, computed};
}

// ---- size helpers --------------------------------------------------------------------------------
// 32-bit inputs, 64-bit arithmetic: results near 2^31 come out exact instead of wrapping.

// `size` rounded up to a multiple of `step` with division truncating toward zero; step != 0.
constexpr int64_t round_up_to_step(int32_t size, int32_t step) {
    const int64_t s = step;
    return ((int64_t{size} + s - 1) / s) * s;
}

// (value + alignment - 1) & -alignment, for any alignment (the callers decide what they accept).
constexpr int64_t align_up(int64_t value, int64_t alignment) {
    return (value + alignment - 1) & -alignment;
}

constexpr bool is_power_of_two(int32_t alignment) {
    return alignment >= 1 && (alignment & (alignment - 1)) == 0;
}

// Strict: an allocation ending exactly at the block's end does not fit.
constexpr bool can_fit_aligned(int32_t block_offset, int32_t block_size, int32_t alloc_size,
                               int32_t alignment) {
    return align_up(block_offset, alignment) + alloc_size < int64_t{block_offset} + block_size;
}

// ---- bucket index --------------------------------------------------------------------------------
// Free offsets per bucket size, each bucket a stack. Usable bucket sizes are the positive multiples
// k * step for k in [1, count]; every other key a dict of lists could hold (off the step grid, zero or
// negative) can never receive an offset, so it is left out. A two-level bitmap of non-empty buckets
// lets the best-fit search skip empty ones, and the top entry of every bucket sits in one array so
// the search reads contiguous memory.

class BucketIndex {
public:
    BucketIndex() = default;
    BucketIndex(const BucketIndex&) = delete;
    BucketIndex& operator=(const BucketIndex&) = delete;
    ~BucketIndex() { release(); }

    // The bucket size of a request, as the allocator computes it: rounded up to the step for sizes up
    // to the larger of the two limits, -1 above. step must not be 0. Every result <= 0 means "no
    // bucket" to the callers, so sizes rounding to 0 or below all give 0 here, and the positive
    // case divides in 32 bits (or masks, for the usual power-of-two step): the hot paths call this.
    static int64_t bucket_size(int32_t size, int32_t step, int32_t small_max, int32_t medium_max) {
        if (size > small_max && size > medium_max) return -1;
        if (step < 0) return round_up_to_step(size, step);
        const int64_t n = int64_t{size} + step - 1;
        if (n <= 0) return 0;
        if ((step & (step - 1)) == 0) return n & -int64_t{step};
        const uint32_t u = static_cast<uint32_t>(n), st = static_cast<uint32_t>(step);  // n < 2^32
        return int64_t{u / st} * step;
    }

    // Number of usable buckets for these parameters (keys step, 2*step, ... with no gap).
    static int64_t usable_count(int32_t step, int32_t small_max, int32_t medium_max) {
        if (step <= 0) return 0;  // a negative step never yields a bucket an offset can enter
        const int64_t k_small = small_max >= step ? small_max / step : 0;
        // The medium range continues the small one only when small_max sits on the grid.
        const bool on_grid = small_max % step == 0;
        const int64_t k_medium = (on_grid && medium_max >= step) ? medium_max / step : 0;
        return k_small > k_medium ? k_small : k_medium;
    }

    bool initialised() const { return initialised_; }

    // Drops every bucket and the key set (the state before the first reset()).
    void release() {
        for (std::size_t i = 0; i < nused_; ++i) std::free(buckets_[used_[i]].data);
        std::free(used_);
        used_ = nullptr;
        nused_ = used_cap_ = 0;
        std::free(buckets_);
        std::free(tops_);
        std::free(words_);
        std::free(summary_);
        buckets_ = nullptr;
        tops_ = nullptr;
        words_ = nullptr;
        summary_ = nullptr;
        count_ = 0;
        initialised_ = false;
    }

    // Creates every bucket empty, dropping what they held. False when memory runs out (nothing
    // changed then).
    bool reset(int64_t count) {
        if (initialised_ && count == count_) {
            clear_all();
            return true;
        }
        // Slots 0..count; slot 0 is never a bucket but keeps the indexing direct.
        const std::size_t slots = static_cast<std::size_t>(count) + 1;
        const std::size_t nwords = (slots + 63) / 64;
        const std::size_t nsummary = (nwords + 63) / 64;
        // calloc: zeroed pages of a large index are only touched when used.
        auto* b = static_cast<Bucket*>(std::calloc(slots, sizeof(Bucket)));
        auto* t = static_cast<int32_t*>(std::calloc(slots, sizeof(int32_t)));
        auto* w = static_cast<uint64_t*>(std::calloc(nwords, sizeof(uint64_t)));
        auto* s = static_cast<uint64_t*>(std::calloc(nsummary, sizeof(uint64_t)));
        if (b == nullptr || t == nullptr || w == nullptr || s == nullptr) {
            std::free(b);
            std::free(t);
            std::free(w);
            std::free(s);
            return false;
        }
        release();
        buckets_ = b;
        tops_ = t;
        words_ = w;
        summary_ = s;
        count_ = count;
        nwords_ = nwords;
        nsummary_ = nsummary;
        initialised_ = true;
        return true;
    }

    // Index of a bucket size, or 0 when no bucket of that size exists.
    int64_t index_of(int64_t bucket_size, int32_t step) const {
        if (!initialised_ || step <= 0 || bucket_size <= 0) return 0;
        int64_t k;
        if ((step & (step - 1)) == 0) {
            if ((bucket_size & (step - 1)) != 0) return 0;
            k = bucket_size >> std::countr_zero(static_cast<uint32_t>(step));
        } else {
            k = bucket_size / step;
            if (k * step != bucket_size) return 0;
        }
        return k <= count_ ? k : 0;
    }

    // Pushes onto bucket k (valid index). False when memory runs out.
    bool push(int64_t k, int32_t offset) {
        Bucket& b = buckets_[k];
        if (b.size == b.cap) {
            const uint32_t cap = b.cap == 0 ? 4 : (b.cap > (UINT32_MAX >> 1) ? UINT32_MAX : b.cap * 2);
            if (cap == b.cap) return false;
            if (b.cap == 0 && !note_used(k)) return false;
            auto* d = static_cast<int32_t*>(std::realloc(b.data, sizeof(int32_t) * cap));
            if (d == nullptr) {
                if (b.cap == 0) --nused_;
                return false;
            }
            b.data = d;
            b.cap = cap;
        }
        b.data[b.size++] = offset;
        tops_[k] = offset;
        if (b.size == 1) mark(k);
        return true;
    }

    bool empty(int64_t k) const { return buckets_[k].size == 0; }
    int32_t top(int64_t k) const { return tops_[k]; }

    // Pops the top of a non-empty bucket k.
    int32_t pop(int64_t k) {
        Bucket& b = buckets_[k];
        const int32_t v = b.data[--b.size];
        if (b.size == 0) {
            unmark(k);
        } else {
            tops_[k] = b.data[b.size - 1];
        }
        return v;
    }

    // The first non-empty bucket with index >= from whose top entry satisfies pred(k, top), or 0.
    // Walks the bitmap a word at a time (the summary skips runs of empty words).
    template <class Pred>
    int64_t find_top(int64_t from, Pred pred) const {
        if (from > count_) return 0;
        std::size_t w = static_cast<std::size_t>(from) >> 6;
        uint64_t bits = words_[w] & (~uint64_t{0} << (from & 63));
        for (;;) {
            while (bits != 0) {
                const int64_t k = static_cast<int64_t>((w << 6) | std::countr_zero(bits));
                if (pred(k, tops_[k])) return k;
                bits &= bits - 1;
            }
            if (++w >= nwords_) return 0;
            bits = words_[w];
            if (bits == 0) {
                std::size_t sw = w >> 6;
                uint64_t sbits = summary_[sw] & (~uint64_t{0} << (w & 63));
                while (sbits == 0) {
                    if (++sw >= nsummary_) return 0;
                    sbits = summary_[sw];
                }
                w = (sw << 6) | std::countr_zero(sbits);
                bits = words_[w];
            }
        }
    }

private:
    struct Bucket {
        int32_t* data;
        uint32_t size;
        uint32_t cap;
    };

    void mark(int64_t k) {
        const std::size_t w = static_cast<std::size_t>(k) >> 6;
        words_[w] |= uint64_t{1} << (k & 63);
        summary_[w >> 6] |= uint64_t{1} << (w & 63);
    }
    void unmark(int64_t k) {
        const std::size_t w = static_cast<std::size_t>(k) >> 6;
        words_[w] &= ~(uint64_t{1} << (k & 63));
        if (words_[w] == 0) summary_[w >> 6] &= ~(uint64_t{1} << (w & 63));
    }

    // Remembers a bucket that gets storage, so that clearing never walks the whole (possibly huge,
    // mostly untouched) index.
    bool note_used(int64_t k) {
        if (nused_ == used_cap_) {
            const std::size_t cap = used_cap_ == 0 ? 16 : used_cap_ * 2;
            auto* u = static_cast<int64_t*>(std::realloc(used_, sizeof(int64_t) * cap));
            if (u == nullptr) return false;
            used_ = u;
            used_cap_ = cap;
        }
        used_[nused_++] = k;
        return true;
    }

    // Empties every bucket and frees its storage, as replacing each list with a new one would.
    void clear_all() {
        for (std::size_t i = 0; i < nused_; ++i) {
            const int64_t k = used_[i];
            std::free(buckets_[k].data);
            buckets_[k] = Bucket{nullptr, 0, 0};
            words_[k >> 6] = 0;
            summary_[k >> 12] = 0;
        }
        nused_ = 0;
    }

    Bucket* buckets_ = nullptr;
    int32_t* tops_ = nullptr;
    uint64_t* words_ = nullptr;    // bit k: bucket k is not empty
    uint64_t* summary_ = nullptr;  // bit w: words_[w] is not zero
    int64_t count_ = 0;
    std::size_t nwords_ = 0;
    std::size_t nsummary_ = 0;
    int64_t* used_ = nullptr;  // buckets holding storage, each once
    std::size_t nused_ = 0;
    std::size_t used_cap_ = 0;
    bool initialised_ = false;
};

// Does `size` fit at offset o of a block of `block` bytes once o is aligned? Accepts an exact fit.
constexpr bool fits_in_block(int32_t o, int64_t block, int32_t size, int32_t alignment) {
    return align_up(o, alignment) + size <= int64_t{o} + block;
}

// Best fit over the index: the exact bucket's top entry, then the top entry of each larger non-empty
// bucket in ascending order. Returns the bucket index the fitting offset sits on top of, or 0.
inline int64_t best_fit_bucket(const BucketIndex& idx, int64_t exact, int64_t bucket_size,
                               int32_t step, int32_t size, int32_t alignment) {
    if (!idx.initialised() || step <= 0) return 0;
    if (exact != 0 && !idx.empty(exact) &&
        fits_in_block(idx.top(exact), bucket_size, size, alignment)) {
        return exact;
    }
    // Larger buckets: indices above bucket_size / step (bucket_size is positive).
    return idx.find_top(bucket_size / step + 1, [=](int64_t k, int32_t top) {
        return fits_in_block(top, k * step, size, alignment);
    });
}

// ---- allocation counters -------------------------------------------------------------------------

struct FastAllocStats {
    uint64_t total_allocations;
    uint64_t total_deallocations;
    uint64_t bucketed_allocations;
    uint64_t fallback_allocations;
    uint64_t alignment_padding_bytes;
};

// `size` is accepted for the record's shape and not used. Negative padding is added in two's
// complement, so it subtracts modulo 2^64.
inline void record_allocation(FastAllocStats& s, int32_t /*size*/, int32_t padding,
                              bool is_bucketed) {
    s.total_allocations += 1;
    s.alignment_padding_bytes += static_cast<uint64_t>(static_cast<int64_t>(padding));
    if (is_bucketed) {
        s.bucketed_allocations += 1;
    } else {
        s.fallback_allocations += 1;
    }
}

inline void record_deallocation(FastAllocStats& s) { s.total_deallocations += 1; }

}  // namespace pool_paths::core
