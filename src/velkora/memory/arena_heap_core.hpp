// Pure C++ core of velkora.memory.arena_heap: the allocator of a shared-memory arena. It owns no
// memory of the arena itself (the binding maps the segments) and keeps its bookkeeping in process
// memory, apart from the slab headers, which live inside the segments so that a process writing
// past its array damages a header and is caught when the slab is used again.
//
// Composition, not a second copy: large blocks are found at best fit in block_index's red-black
// tree (one record per free block, keyed by size), and small sizes come from slabs whose headers
// are pool_paths' packed slab header (checksum and free-object bitmap). Counters are pool_paths'
// allocation counters and sync_cells' atomic cells.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "velkora/memory/block_index_core.hpp"
#include "velkora/memory/pool_paths_core.hpp"
#include "velkora/memory/sync_cells_core.hpp"

namespace arena_heap::core {

namespace bt = block_index::core;
namespace pp = pool_paths::core;
namespace sc = sync_cells::core;

inline constexpr uint64_t kAlign = 64;          // every block starts on a cache line
inline constexpr uint64_t kSmallMax = 4096;     // larger requests are large blocks
inline constexpr int32_t kClassStep = 64;       // size classes 64, 128, ..., 4096
inline constexpr int kClasses = static_cast<int>(kSmallMax / kClassStep);
inline constexpr uint64_t kHeaderSlot = 64;     // the slab header's room at the slab's end

enum class Policy : int { BestFit = 0, FirstFit = 1 };

struct SysMem {
    void* alloc(std::size_t n) { return std::malloc(n); }
    void* realloc(void* p, std::size_t n) { return std::realloc(p, n); }
    void free(void* p) { std::free(p); }
};

struct Slab;

enum class RecState : uint8_t { Free = 0, Used = 1, Slab = 2 };

// One block of a segment: free (in the tree), in use by one array, or holding a slab. Records of a
// segment form its address-ordered list, so a released block finds its neighbours in O(1).
struct BlockRec {
    uint64_t offset;
    uint64_t size;
    uint32_t seg;
    RecState state;
    BlockRec* prev;
    BlockRec* next;
    Slab* slab;  // when state == Slab
};

struct Slab {
    BlockRec* home;
    pp::SlabHeaderState hs;
    int32_t cls;
    int32_t objects;
    uint32_t obj_size;
    uint32_t live;
    bool quarantined;
    bool listed;  // on its class's list of slabs with a free object
    Slab* prev_free;
    Slab* next_free;
};

struct Segment {
    uint8_t* base;  // null once the segment was given back
    uint64_t size;
    uint64_t used_bytes;  // bytes of blocks not free (slabs count whole)
    uint64_t live;        // arrays (blocks and slab objects) handed out and not yet released
    BlockRec* first;
};

// Where an allocation landed.
struct Placement {
    uint32_t seg;
    uint64_t offset;
    uint64_t size;     // bytes reserved for it
    BlockRec* rec;     // large block, or null
    Slab* slab;        // small object's slab, or null
    int32_t index;     // object index in the slab
};

// A corrupt header found while allocating: stored and computed checksums.
struct Corruption {
    uint16_t stored;
    uint16_t computed;
};

struct Counters {
    pp::FastAllocStats alloc;          // bucketed = from a slab, fallback = large block
    int64_t current_allocations = 0;   // sync_cells cells, updated atomically
    int64_t bytes_allocated = 0;
    int64_t peak_allocations = 0;
    int64_t peak_bytes_allocated = 0;
    int64_t bytes_requested = 0;       // live bytes asked for (before rounding)
    uint64_t quarantined_slabs = 0;
    uint64_t slabs_created = 0;
    uint64_t slabs_released = 0;
    uint64_t splits = 0;
    uint64_t merges = 0;
};

class Heap {
public:
    explicit Heap(Policy p = Policy::BestFit) : policy_(p) {
        for (int c = 0; c < kClasses; ++c) {
            free_slabs_[c] = nullptr;
            objects_per_slab_[c] = default_objects_per_slab(c);
        }
    }
    Heap(const Heap&) = delete;
    Heap& operator=(const Heap&) = delete;
    ~Heap() {
        for (Segment& s : segs_) free_records(s);
        bt::DetachedTree d = tree_.detach();  // the records were freed above; now the nodes
        bt::free_detached(d, mem_, [](void*) {});
    }

    // ---- segments -------------------------------------------------------------------------------

    // Adds a mapped segment as one free block. Returns its index, or -1 when memory ran out.
    int64_t add_segment(uint8_t* base, uint64_t size) {
        auto* rec = new (std::nothrow) BlockRec{0, size, 0, RecState::Free, nullptr, nullptr, nullptr};
        if (rec == nullptr) return -1;
        uint32_t idx = static_cast<uint32_t>(segs_.size());
        // Reuse the slot of a segment given back earlier.
        for (uint32_t i = 0; i < segs_.size(); ++i) {
            if (segs_[i].base == nullptr) {
                idx = i;
                break;
            }
        }
        rec->seg = idx;
        if (!tree_.insert(size, rec, mem_)) {
            delete rec;
            return -1;
        }
        Segment s{base, size, 0, 0, rec};
        if (idx == segs_.size()) {
            try {
                segs_.push_back(s);
            } catch (...) {
                remove_free(rec);
                delete rec;
                return -1;
            }
        } else {
            segs_[idx] = s;
        }
        reserved_ += size;
        return idx;
    }

    // Takes an empty segment out of the heap; false when it holds anything. The caller unmaps it.
    bool remove_segment(uint32_t i) {
        if (i >= segs_.size() || segs_[i].base == nullptr || !segment_empty(i)) return false;
        Segment& s = segs_[i];
        remove_free(s.first);
        delete s.first;
        reserved_ -= s.size;
        s = Segment{nullptr, 0, 0, 0, nullptr};
        return true;
    }

    // Grows segment i in place to new_size bytes (the caller has mapped them): the new bytes join
    // the free block at the segment's end, or become one. False when memory ran out.
    bool extend_segment(uint32_t i, uint64_t new_size) {
        if (i >= segs_.size() || segs_[i].base == nullptr || new_size <= segs_[i].size) return false;
        Segment& s = segs_[i];
        const uint64_t delta = new_size - s.size;
        BlockRec* last = last_record(s);
        if (last->state == RecState::Free) {
            remove_free(last);
            last->size += delta;
            if (!tree_.insert(last->size, last, mem_)) {
                last->size -= delta;
                tree_.insert(last->size, last, mem_);  // a node was just freed: cannot fail
                return false;
            }
        } else {
            auto* rec = new (std::nothrow)
                BlockRec{s.size, delta, i, RecState::Free, last, nullptr, nullptr};
            if (rec == nullptr) return false;
            if (!tree_.insert(delta, rec, mem_)) {
                delete rec;
                return false;
            }
            last->next = rec;
        }
        s.size = new_size;
        reserved_ += delta;
        return true;
    }

    // Bytes of the free block at the end of segment i (0 when the last block is in use).
    uint64_t tail_free(uint32_t i) const {
        if (i >= segs_.size() || segs_[i].base == nullptr) return 0;
        const BlockRec* last = last_record(segs_[i]);
        return last->state == RecState::Free ? last->size : 0;
    }

    // Shrinks segment i to new_size bytes, taken from its free tail; false when the bytes past
    // new_size are not all free (or new_size is 0 or not on the 64-byte grid). The caller unmaps.
    bool shrink_segment(uint32_t i, uint64_t new_size) {
        if (i >= segs_.size() || segs_[i].base == nullptr || new_size == 0 ||
            new_size % kAlign != 0 || new_size >= segs_[i].size) {
            return false;
        }
        Segment& s = segs_[i];
        BlockRec* last = last_record(s);
        if (last->state != RecState::Free || last->offset > new_size) return false;
        remove_free(last);
        const uint64_t delta = s.size - new_size;
        if (last->offset == new_size) {
            last->prev->next = nullptr;  // offset > 0, so a block precedes it
            delete last;
        } else {
            last->size -= delta;
            tree_.insert(last->size, last, mem_);  // a node was just freed: cannot fail
        }
        s.size = new_size;
        reserved_ -= delta;
        return true;
    }

    bool segment_empty(uint32_t i) const {
        const Segment& s = segs_[i];
        if (s.base == nullptr || s.live != 0) return false;
        // Cached empty slabs count as empty: they go back to the tree first.
        return s.first != nullptr && s.first->next == nullptr && s.first->state == RecState::Free;
    }

    // Returns every slab without live objects to the large-block space (before a segment is given
    // back or a slab layout changes).
    uint64_t release_empty_slabs() {
        uint64_t n = 0;
        for (int c = 0; c < kClasses; ++c) {
            Slab* s = free_slabs_[c];
            while (s != nullptr) {
                Slab* next = s->next_free;
                if (s->live == 0) {
                    drop_slab(s);
                    ++n;
                }
                s = next;
            }
        }
        return n;
    }

    std::size_t segment_count() const { return segs_.size(); }
    const Segment& segment(uint32_t i) const { return segs_[i]; }
    uint64_t reserved() const { return reserved_; }

    // ---- allocation -----------------------------------------------------------------------------

    // Places `nbytes` (> 0). False when no segment has room (the caller grows and retries).
    // `corrupt` receives a corrupt slab header found on the way (the slab is quarantined, and the
    // allocation went elsewhere); corrupt.stored == corrupt.computed == 0 when there was none.
    bool allocate(uint64_t nbytes, Placement& out, Corruption& corrupt) {
        if (place(nbytes, out, corrupt)) return true;
        // Empty slabs kept for their classes hold space another size may need.
        return release_empty_slabs() > 0 && place(nbytes, out, corrupt);
    }

    bool place(uint64_t nbytes, Placement& out, Corruption& corrupt) {
        corrupt = Corruption{0, 0};
        if (nbytes <= kSmallMax) {
            if (allocate_small(nbytes, out, corrupt)) {
                count_alloc(nbytes, out.size, true);
                return true;
            }
            return false;
        }
        const uint64_t size = round_up(nbytes);
        if (size < nbytes) return false;  // wrapped
        BlockRec* rec = take_free(size);
        if (rec == nullptr) return false;
        rec->state = RecState::Used;
        segs_[rec->seg].used_bytes += rec->size;
        segs_[rec->seg].live += 1;
        out = Placement{rec->seg, rec->offset, rec->size, rec, nullptr, -1};
        count_alloc(nbytes, rec->size, false);
        return true;
    }

    // Gives a placement back. A quarantined slab keeps its memory out of use for good.
    void release(const Placement& p, uint64_t nbytes) {
        count_release(nbytes, p.size);
        Segment& s = segs_[p.seg];
        s.live -= 1;
        if (p.slab != nullptr) {
            release_small(p.slab, p.index);
            return;
        }
        s.used_bytes -= p.rec->size;
        give_back(p.rec);
    }

    // ---- slab headers ----------------------------------------------------------------------------

    // Checks every slab's header in its segment; quarantines the corrupt ones and reports them
    // through `f(stored, computed)`. Returns how many were found.
    template <class F>
    uint64_t verify_all(F&& f) {
        uint64_t found = 0;
        for (uint32_t i = 0; i < segs_.size(); ++i) {
            for (BlockRec* r = segs_[i].first; r != nullptr; r = r->next) {
                if (r->state != RecState::Slab || r->slab->quarantined) continue;
                Corruption c;
                if (!header_intact(r->slab, c)) {
                    quarantine(r->slab);
                    f(c.stored, c.computed);
                    ++found;
                }
            }
        }
        return found;
    }

    // Corrupt headers found while releasing (no place to report them then), oldest first.
    std::vector<Corruption> take_pending() { return std::exchange(pending_, {}); }
    bool has_pending() const { return !pending_.empty(); }

    // Objects per new slab of class c (the layout adaptation changes it); existing slabs keep
    // theirs.
    void set_objects_per_slab(int32_t cls, int32_t n) {
        if (cls >= 0 && cls < kClasses && n >= 1 && n <= 64) objects_per_slab_[cls] = n;
    }
    int32_t objects_per_slab(int32_t cls) const { return objects_per_slab_[cls]; }

    // ---- statistics -----------------------------------------------------------------------------

    const Counters& counters() const { return counters_; }
    uint64_t free_block_count() const { return tree_.node_count; }
    int32_t tree_height() const { return bt::RBTree::height(tree_.root); }

    // Bytes in free large blocks, the largest of them, and bytes free inside slabs with live
    // objects (memory held but unusable for other sizes).
    struct Usage {
        uint64_t free_bytes;
        uint64_t largest_free;
        uint64_t slab_bytes;
        uint64_t slab_free_bytes;
        uint64_t slabs;
    };
    Usage usage() const {
        Usage u{0, 0, 0, 0, 0};
        for (const Segment& s : segs_) {
            for (const BlockRec* r = s.first; r != nullptr; r = r->next) {
                if (r->state == RecState::Free) {
                    u.free_bytes += r->size;
                    if (r->size > u.largest_free) u.largest_free = r->size;
                } else if (r->state == RecState::Slab) {
                    const Slab* sl = r->slab;
                    u.slabs += 1;
                    u.slab_bytes += r->size;
                    if (!sl->quarantined) {
                        u.slab_free_bytes +=
                            uint64_t{sl->obj_size} * (static_cast<uint64_t>(sl->objects) - sl->live);
                    }
                }
            }
        }
        return u;
    }

    // Live objects and slabs of one class (for the layout decision).
    void class_usage(int32_t cls, uint64_t& slabs, uint64_t& live, uint64_t& capacity) const {
        slabs = live = capacity = 0;
        for (const Segment& s : segs_) {
            for (const BlockRec* r = s.first; r != nullptr; r = r->next) {
                if (r->state == RecState::Slab && r->slab->cls == cls && !r->slab->quarantined) {
                    slabs += 1;
                    live += r->slab->live;
                    capacity += static_cast<uint64_t>(r->slab->objects);
                }
            }
        }
    }

    // About 64 KiB per slab: 64 objects of the small classes, 16 of 4 KiB.
    static int32_t default_objects_per_slab(int32_t cls) {
        const int32_t n = 65536 / ((cls + 1) * kClassStep);
        return n > 64 ? 64 : n < 8 ? 8 : n;
    }

    static uint64_t round_up(uint64_t n) { return (n + kAlign - 1) & ~(kAlign - 1); }
    static int32_t class_of(uint64_t nbytes) {
        // pool_paths' bucket size on the 64-byte grid, as a class index.
        const int64_t b = pp::BucketIndex::bucket_size(static_cast<int32_t>(nbytes), kClassStep,
                                                       static_cast<int32_t>(kSmallMax),
                                                       static_cast<int32_t>(kSmallMax));
        return static_cast<int32_t>(b / kClassStep) - 1;
    }

private:
    // ---- large blocks ---------------------------------------------------------------------------

    BlockRec* find_fit(uint64_t size) {
        if (policy_ == Policy::BestFit) {
            bt::RBNode* n = tree_.find_best_fit_node(size);
            return n != nullptr ? static_cast<BlockRec*>(n->block_obj) : nullptr;
        }
        for (Segment& s : segs_) {
            for (BlockRec* r = s.first; r != nullptr; r = r->next) {
                if (r->state == RecState::Free && r->size >= size) return r;
            }
        }
        return nullptr;
    }

    // A free block of exactly `size` bytes taken out of the tree (split off a larger one).
    BlockRec* take_free(uint64_t size) {
        BlockRec* rec = find_fit(size);
        if (rec == nullptr) return nullptr;
        const uint64_t rest = rec->size - size;
        BlockRec* tail = nullptr;
        if (rest >= kAlign) {
            tail = new (std::nothrow)
                BlockRec{rec->offset + size, rest, rec->seg, RecState::Free, rec, rec->next, nullptr};
            if (tail == nullptr) return nullptr;
        }
        remove_free(rec);
        if (tail != nullptr) {
            if (!tree_.insert(rest, tail, mem_)) {  // out of memory: hand the block out whole
                delete tail;
                tail = nullptr;
            } else {
                if (rec->next != nullptr) rec->next->prev = tail;
                rec->next = tail;
                rec->size = size;
                counters_.splits += 1;
            }
        }
        return rec;
    }

    void remove_free(BlockRec* rec) {
        bt::RBNode* n = tree_.find_node(rec->size);
        if (n == nullptr) return;
        if (n->block_obj == rec) {
            tree_.take_head(n, mem_);
            return;
        }
        const uint64_t len = n->chain_length();
        for (uint64_t p = 1; p < len; ++p) {
            if (n->chain_at(p) == rec) {
                tree_.take_at(n, p, mem_);
                return;
            }
        }
    }

    // Marks a block free and joins it with free neighbours of the same segment.
    void give_back(BlockRec* rec) {
        rec->state = RecState::Free;
        rec->slab = nullptr;
        if (BlockRec* p = rec->prev; p != nullptr && p->state == RecState::Free) {
            remove_free(p);
            p->size += rec->size;
            p->next = rec->next;
            if (rec->next != nullptr) rec->next->prev = p;
            delete rec;
            rec = p;
            counters_.merges += 1;
        }
        if (BlockRec* n = rec->next; n != nullptr && n->state == RecState::Free) {
            remove_free(n);
            rec->size += n->size;
            rec->next = n->next;
            if (n->next != nullptr) n->next->prev = rec;
            delete n;
            counters_.merges += 1;
        }
        if (!tree_.insert(rec->size, rec, mem_)) {
            // Out of process memory for a tree node: the block stays out of use (a leak of arena
            // space, not a fault), marked used so no neighbour merges into it.
            rec->state = RecState::Used;
        }
    }

    // ---- slabs ----------------------------------------------------------------------------------

    uint8_t* header_at(const Slab* s) const {
        const BlockRec* h = s->home;
        return segs_[h->seg].base + h->offset + h->size - kHeaderSlot;
    }

    void write_header(Slab* s) { pp::pack_header(s->hs, header_at(s)); }

    // The header in the segment matches what this heap last wrote.
    bool header_intact(Slab* s, Corruption& c) const {
        const pp::FastSlabHeader d = pp::decode_header(header_at(s));
        const uint16_t computed = pp::compute_checksum(d);
        c = Corruption{d.crc, computed};
        return d.crc == computed && d.crc == s->hs.header.crc &&
               d.free_bitmap == s->hs.header.free_bitmap && d.epoch == s->hs.header.epoch &&
               d.flags == s->hs.header.flags && d.size_class_index == s->hs.header.size_class_index;
    }

    void list_slab(Slab* s) {
        s->prev_free = nullptr;
        s->next_free = free_slabs_[s->cls];
        if (s->next_free != nullptr) s->next_free->prev_free = s;
        free_slabs_[s->cls] = s;
        s->listed = true;
    }
    void unlist_slab(Slab* s) {
        if (!s->listed) return;
        if (s->prev_free != nullptr) {
            s->prev_free->next_free = s->next_free;
        } else {
            free_slabs_[s->cls] = s->next_free;
        }
        if (s->next_free != nullptr) s->next_free->prev_free = s->prev_free;
        s->listed = false;
    }

    void quarantine(Slab* s) {
        unlist_slab(s);
        s->quarantined = true;
        s->hs.header.flags = static_cast<uint8_t>(s->hs.header.flags | pp::kFlagCorrupt);
        counters_.quarantined_slabs += 1;
    }

    Slab* new_slab(int32_t cls) {
        const uint32_t obj = static_cast<uint32_t>((cls + 1) * kClassStep);
        const int32_t objects = objects_per_slab_[cls];
        BlockRec* home = take_free(uint64_t{obj} * static_cast<uint64_t>(objects) + kHeaderSlot);
        if (home == nullptr) return nullptr;
        auto* s = new (std::nothrow) Slab{};
        if (s == nullptr) {
            give_back(home);
            return nullptr;
        }
        home->state = RecState::Slab;
        home->slab = s;
        segs_[home->seg].used_bytes += home->size;
        s->home = home;
        s->cls = cls;
        s->objects = objects;
        s->obj_size = obj;
        pp::slab_init(s->hs, cls, objects);
        write_header(s);
        list_slab(s);
        counters_.slabs_created += 1;
        return s;
    }

    void drop_slab(Slab* s) {
        unlist_slab(s);
        BlockRec* home = s->home;
        segs_[home->seg].used_bytes -= home->size;
        delete s;
        counters_.slabs_released += 1;
        give_back(home);
    }

    bool allocate_small(uint64_t nbytes, Placement& out, Corruption& corrupt) {
        const int32_t cls = class_of(nbytes);
        Slab* s = free_slabs_[cls];
        // A slab used before: its header must be the one this heap wrote.
        Corruption c;
        while (s != nullptr && !header_intact(s, c)) {
            quarantine(s);
            corrupt = c;
            s = free_slabs_[cls];
        }
        if (s == nullptr) {
            s = new_slab(cls);
            if (s == nullptr) return false;
        }
        const int32_t i = pp::find_free_object(s->hs);
        pp::allocate_object(s->hs, i);
        write_header(s);
        s->live += 1;
        if (s->hs.header.free_bitmap == 0 || s->live == static_cast<uint32_t>(s->objects)) {
            unlist_slab(s);
        }
        BlockRec* h = s->home;
        segs_[h->seg].live += 1;
        out = Placement{h->seg, h->offset + uint64_t{s->obj_size} * static_cast<uint64_t>(i),
                        s->obj_size, nullptr, s, i};
        return true;
    }

    void release_small(Slab* s, int32_t i) {
        s->live -= 1;
        if (s->quarantined) {
            return;  // never reused; its memory stays out of use until the arena goes
        }
        Corruption c;
        if (!header_intact(s, c)) {
            // Damaged while in use: rewriting it would hide the damage.
            quarantine(s);
            try {
                pending_.push_back(c);
            } catch (...) {
            }
            return;
        }
        const bool was_full = !s->listed;
        pp::deallocate_object(s->hs, i);
        write_header(s);
        if (s->live == 0 && (free_slabs_[s->cls] != nullptr && free_slabs_[s->cls] != s)) {
            // Another slab of the class has room: this one goes back to the large-block space
            // (one empty slab per class stays cached to spare the next allocation a carve).
            drop_slab(s);
            return;
        }
        if (was_full) list_slab(s);
    }

    void count_alloc(uint64_t nbytes, uint64_t size, bool bucketed) {
        const uint64_t pad = size - nbytes;  // rounding to the block's size
        pp::record_allocation(counters_.alloc, 0, pad > 0x7fffffff ? 0 : static_cast<int32_t>(pad),
                              bucketed);
        const int64_t c = sc::cell_add(counters_.current_allocations, 1);
        const int64_t b = sc::cell_add(counters_.bytes_allocated, static_cast<int64_t>(size));
        counters_.bytes_requested += static_cast<int64_t>(nbytes);
        sc::raise_to(counters_.peak_allocations, c);
        sc::raise_to(counters_.peak_bytes_allocated, b);
    }
    void count_release(uint64_t nbytes, uint64_t size) {
        pp::record_deallocation(counters_.alloc);
        sc::cell_sub(counters_.current_allocations, 1);
        sc::cell_sub(counters_.bytes_allocated, static_cast<int64_t>(size));
        counters_.bytes_requested -= static_cast<int64_t>(nbytes);
    }

    static BlockRec* last_record(const Segment& s) {
        BlockRec* r = s.first;
        while (r->next != nullptr) r = r->next;
        return r;
    }

    static void free_records(Segment& s) {
        BlockRec* r = s.first;
        while (r != nullptr) {
            BlockRec* next = r->next;
            if (r->state == RecState::Slab) delete r->slab;
            delete r;
            r = next;
        }
        s.first = nullptr;
    }

    Policy policy_;
    SysMem mem_;
    bt::RBTree tree_{};
    std::vector<Segment> segs_;
    uint64_t reserved_ = 0;
    Slab* free_slabs_[kClasses];
    int32_t objects_per_slab_[kClasses];
    Counters counters_{};
    std::vector<Corruption> pending_;
};

}  // namespace arena_heap::core
