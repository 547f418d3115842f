// velkora.memory.arena_heap: the native side of velkora.memory.arena. A Heap places blocks in
// memory-file segments it maps; a Block is the buffer a NumPy array of the arena is built on, and
// its deallocation (the last array or view of it gone) gives the memory back, with no Python code
// on the way. Mapping and View are a worker's side: a segment attached once, and the buffer one
// received array lives on.
//
// Every operation runs with the interpreter lock held and calls no Python code (a pure section),
// so threads of one process never interleave inside the heap and no lock of ours is needed; the
// only exception is the warning for a corrupt slab header, logged after the heap is consistent.
#include "vkbind/vkbind.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <vector>

#include "arena_heap_core.hpp"

namespace arena_heap {
extern PyModuleDef module_def;
namespace {

using core::Placement;

// ---- fork ----------------------------------------------------------------------------------------
// A child made by fork() inherits the heap's bookkeeping and the shared mappings. It must neither
// allocate (the parent hands out the same bytes) nor release (that would rewrite slab headers the
// parent relies on): every heap remembers the fork generation it was created in.
std::atomic<uint64_t> g_fork_generation{0};
void after_fork_in_child() { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }

// ---- pins ----------------------------------------------------------------------------------------
// One slot per block handed to another process, in a small shared segment of its own. The owner
// writes gen and exports; receivers count their attaches and live views atomically. A block whose
// slot shows a live view or a handle not yet attached is not reused (see SharedArena's notes).
struct PinSlot {
    uint32_t gen;
    uint32_t exports;
    uint32_t attaches;
    int32_t live;
};
static_assert(sizeof(PinSlot) == 16);
constexpr int32_t kRetired = INT32_MIN / 2;  // live: the owner has reused or is reusing the block

template <class T>
std::atomic_ref<T> at(T& v) {
    return std::atomic_ref<T>(v);
}

// ---- objects ---------------------------------------------------------------------------------------

struct Deferred {
    Placement p;
    uint64_t nbytes;
    int32_t slot;
};

// A dtype argument seen before (compared by identity) and what numpy made of it.
struct DtypeEntry {
    PyObject* key;
    PyObject* descr;
    Py_ssize_t itemsize;
    auto owned() { return std::tie(key, descr); }
};
constexpr int kDtypeCache = 8;

struct HeapObject {
    PyObject_HEAD
    core::Heap* heap;
    std::vector<uint8_t*>* maps;  // base of each segment's mapping, null when unmapped
    std::vector<uint64_t>* map_sizes;
    std::vector<Deferred>* deferred;
    std::vector<int32_t>* free_slots;
    PinSlot* pins;
    uint64_t pin_bytes;
    int32_t pin_capacity;
    int32_t pin_next;
    uint64_t fork_gen;
    uint64_t deferred_bytes;
    bool closed;
    // empty()'s helpers, set by configure(): numpy.ndarray, and Python callables for what the
    // native path leaves to Python (a dtype it has not seen, a shape other than non-negative ints,
    // an allocation that needs a new segment).
    PyObject* ndarray;
    PyObject* resolve_dtype;
    PyObject* shape_of;
    PyObject* grow;
    DtypeEntry dtypes[kDtypeCache];
    int dtype_next;
    auto owned() { return std::tie(ndarray, resolve_dtype, shape_of, grow, dtypes); }
};

struct BlockObject {
    PyObject_HEAD
    HeapObject* heap;  // strong: the mappings live while a block does
    uint8_t* ptr;
    uint64_t nbytes;
    Placement p;
    int32_t slot;
};

struct MappingObject {
    PyObject_HEAD
    uint8_t* base;
    uint64_t size;
};

struct ViewObject {
    PyObject_HEAD
    MappingObject* mapping;
    MappingObject* pins;  // or null
    uint8_t* ptr;
    uint64_t nbytes;
    PinSlot* slot;
};

#define ARENA_NAMES(X) X(warning, "warning")
VK_NAMES(ARENA_NAMES);

struct ModuleState {
    Names names;
    PyTypeObject* Heap;
    PyTypeObject* Block;
    PyTypeObject* Mapping;
    PyTypeObject* View;
    auto owned() { return std::tie(names, Heap, Block, Mapping, View); }
};

ModuleState* state(PyObject* module) { return vk::state_of<ModuleState>(module); }

HeapObject* heap_obj(PyObject* o) { return reinterpret_cast<HeapObject*>(o); }

// ---- helpers -----------------------------------------------------------------------------------

void unmap_segment(HeapObject* h, uint32_t i) {
    uint8_t*& base = (*h->maps)[i];
    if (base != nullptr) {
        munmap(base, (*h->map_sizes)[i]);
        base = nullptr;
    }
}

// True when the block's pin allows reuse now; the slot then goes back to the free list.
bool try_retire(HeapObject* h, int32_t slot) {
    PinSlot& s = h->pins[slot];
    if (at(s.attaches).load() < at(s.exports).load()) return false;  // a handle is in flight
    int32_t zero = 0;
    if (!at(s.live).compare_exchange_strong(zero, kRetired)) return false;
    h->free_slots->push_back(slot);
    return true;
}

// After the last array of a segment of a closed heap is gone, its mapping goes.
void release_placement(HeapObject* h, const Placement& p, uint64_t nbytes) {
    h->heap->release(p, nbytes);
    if (h->closed && h->heap->segment(p.seg).live == 0) unmap_segment(h, p.seg);
}

uint64_t sweep(HeapObject* h) {
    std::vector<Deferred>& d = *h->deferred;
    uint64_t done = 0;
    std::size_t keep = 0;
    for (std::size_t i = 0; i < d.size(); ++i) {
        if (h->closed || try_retire(h, d[i].slot)) {
            h->deferred_bytes -= d[i].p.size;
            release_placement(h, d[i].p, d[i].nbytes);
            ++done;
        } else {
            d[keep++] = d[i];
        }
    }
    d.resize(keep);
    return done;
}

[[gnu::cold]] bool log_corruption(uint16_t stored, uint16_t computed) {
    // pool_paths' own warning, on its logger: the header format is that module's.
    vk::Ref logging = vk::Ref::steal(PyImport_ImportModule("logging"));
    if (!logging) return false;
    vk::Ref logger = vk::Ref::steal(
        PyObject_CallMethod(logging.get(), "getLogger", "s", "velkora.memory.pool_paths"));
    if (!logger) return false;
    char text[80];
    std::snprintf(text, sizeof text, "Header corruption detected: stored=%04x, computed=%04x",
                  stored, computed);
    vk::Ref r = vk::Ref::steal(PyObject_CallMethod(logger.get(), "warning", "s", text));
    return static_cast<bool>(r);
}

bool check_usable(HeapObject* h) {
    if (h->fork_gen != g_fork_generation.load(std::memory_order_relaxed)) {
        PyErr_SetString(PyExc_RuntimeError,
                        "this arena belongs to the parent process (it was inherited through fork); "
                        "a child process must create its own arena");
        return false;
    }
    if (h->closed) {
        PyErr_SetString(PyExc_ValueError, "the arena is closed");
        return false;
    }
    return true;
}

// ---- Heap -------------------------------------------------------------------------------------

constexpr auto kHeapInit = vk::sig("Heap", vk::arg("first_fit") = false);

int heap_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    bool first_fit = false;
    if (!vk::parse_tuple(kHeapInit, args, kwargs, vk::flag(first_fit))) return -1;
    HeapObject* h = heap_obj(self);
    if (h->heap != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "Heap is already initialised");
        return -1;
    }
    try {
        h->heap = new core::Heap(first_fit ? core::Policy::FirstFit : core::Policy::BestFit);
        h->maps = new std::vector<uint8_t*>();
        h->map_sizes = new std::vector<uint64_t>();
        h->deferred = new std::vector<Deferred>();
        h->free_slots = new std::vector<int32_t>();
    } catch (...) {
        PyErr_NoMemory();
        return -1;
    }
    h->fork_gen = g_fork_generation.load(std::memory_order_relaxed);
    return 0;
}

int heap_traverse(PyObject* self, visitproc visit, void* arg) {
    return vk::traverse_object<HeapObject>(self, visit, arg);
}
int heap_clear(PyObject* self) { return vk::clear_object<HeapObject>(self); }

void heap_dealloc(PyObject* self) {
    HeapObject* h = heap_obj(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    heap_clear(self);
    if (h->maps != nullptr) {
        for (uint32_t i = 0; i < h->maps->size(); ++i) unmap_segment(h, i);
    }
    if (h->pins != nullptr) munmap(h->pins, h->pin_bytes);
    delete h->heap;
    delete h->maps;
    delete h->map_sizes;
    delete h->deferred;
    delete h->free_slots;
    tp->tp_free(self);
    Py_DECREF(tp);
}

bool heap_ready(HeapObject* h) {
    if (h->heap == nullptr) {
        PyErr_SetString(PyExc_ValueError, "Heap is not initialised");
        return false;
    }
    return true;
}

uint64_t page_size() {
    static const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    return page;
}

bool check_segment_size(uint64_t size, const char* what) {
    if (size == 0 || size % page_size() != 0) {
        PyErr_Format(PyExc_ValueError, "%s must be a positive multiple of the page size %llu, "
                     "not %llu", what, static_cast<unsigned long long>(page_size()),
                     static_cast<unsigned long long>(size));
        return false;
    }
    return true;
}

constexpr auto kAddSegment = vk::sig("add_segment", "fd", "size", vk::arg("reserve") = 0);

PyObject* heap_add_segment(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    int32_t fd;
    uint64_t size, reserve = 0;
    if (!vk::parse(kAddSegment, args, nargs, kwnames, vk::i32(fd), vk::u64(size),
                   vk::u64(reserve))) {
        return nullptr;
    }
    HeapObject* h = heap_obj(self);
    if (!heap_ready(h) || !check_usable(h)) return nullptr;
    if (!check_segment_size(size, "segment size")) return nullptr;
    if (reserve < size) reserve = size;
    if (reserve % page_size() != 0) reserve += page_size() - reserve % page_size();
    // Address space for the segment to grow into in place, then the file mapped at its start.
    void* base = mmap(nullptr, reserve, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                      -1, 0);
    if (base == MAP_FAILED) return PyErr_SetFromErrno(PyExc_OSError);
    if (mmap(base, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0) == MAP_FAILED) {
        PyErr_SetFromErrno(PyExc_OSError);
        munmap(base, reserve);
        return nullptr;
    }
    const int64_t idx = h->heap->add_segment(static_cast<uint8_t*>(base), size);
    if (idx < 0) {
        munmap(base, reserve);
        return PyErr_NoMemory();
    }
    size = reserve;  // what unmapping the segment takes
    const auto i = static_cast<std::size_t>(idx);
    try {
        if (i == h->maps->size()) {
            h->maps->push_back(nullptr);
            h->map_sizes->push_back(0);
        }
    } catch (...) {
        h->heap->remove_segment(static_cast<uint32_t>(idx));
        munmap(base, size);
        return PyErr_NoMemory();
    }
    (*h->maps)[i] = static_cast<uint8_t*>(base);
    (*h->map_sizes)[i] = size;
    return PyLong_FromLongLong(idx);
}

constexpr auto kExtend = vk::sig("extend_segment", "index", "fd", "size");

PyObject* heap_extend_segment(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    uint32_t i;
    int32_t fd;
    uint64_t size;
    if (!vk::parse(kExtend, args, nargs, kwnames, vk::u32(i), vk::i32(fd), vk::u64(size))) {
        return nullptr;
    }
    HeapObject* h = heap_obj(self);
    if (!heap_ready(h) || !check_usable(h)) return nullptr;
    if (!check_segment_size(size, "segment size")) return nullptr;
    if (i >= h->maps->size() || (*h->maps)[i] == nullptr) {
        PyErr_Format(PyExc_ValueError, "no segment %u", i);
        return nullptr;
    }
    const uint64_t old = h->heap->segment(i).size;
    if (size <= old || size > (*h->map_sizes)[i]) Py_RETURN_FALSE;  // beyond the reservation
    uint8_t* base = (*h->maps)[i];
    if (mmap(base + old, size - old, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd,
             static_cast<off_t>(old)) == MAP_FAILED) {
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    if (!h->heap->extend_segment(i, size)) {
        mmap(base + old, size - old, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        return PyErr_NoMemory();
    }
    Py_RETURN_TRUE;
}

constexpr auto kShrink = vk::sig("shrink_segment", "index", "size");

PyObject* heap_shrink_segment(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    uint32_t i;
    uint64_t size;
    if (!vk::parse(kShrink, args, nargs, kwnames, vk::u32(i), vk::u64(size))) return nullptr;
    HeapObject* h = heap_obj(self);
    if (!heap_ready(h) || !check_usable(h)) return nullptr;
    if (!check_segment_size(size, "segment size")) return nullptr;
    if (i >= h->maps->size() || (*h->maps)[i] == nullptr) Py_RETURN_FALSE;
    const uint64_t old = h->heap->segment(i).size;
    h->heap->release_empty_slabs();
    if (!h->heap->shrink_segment(i, size)) Py_RETURN_FALSE;
    // The tail goes back to reserved address space; the caller truncates the file.
    mmap((*h->maps)[i] + size, old - size, PROT_NONE,
         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
    Py_RETURN_TRUE;
}

constexpr auto kTailFree = vk::sig("tail_free", "index");

PyObject* heap_tail_free(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    uint32_t i;
    if (!vk::parse(kTailFree, args, nargs, kwnames, vk::u32(i))) return nullptr;
    HeapObject* h = heap_obj(self);
    if (!heap_ready(h)) return nullptr;
    return PyLong_FromUnsignedLongLong(h->heap->tail_free(i));
}

constexpr auto kRemoveSegment = vk::sig("remove_segment", "index");

PyObject* heap_remove_segment(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    uint32_t i;
    if (!vk::parse(kRemoveSegment, args, nargs, kwnames, vk::u32(i))) return nullptr;
    HeapObject* h = heap_obj(self);
    if (!heap_ready(h)) return nullptr;
    h->heap->release_empty_slabs();
    if (!h->heap->remove_segment(i)) Py_RETURN_FALSE;
    unmap_segment(h, i);
    Py_RETURN_TRUE;
}

constexpr auto kSetPins = vk::sig("set_pin_table", "fd", "slots");

PyObject* heap_set_pins(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    int32_t fd, slots;
    if (!vk::parse(kSetPins, args, nargs, kwnames, vk::i32(fd), vk::i32(slots))) return nullptr;
    HeapObject* h = heap_obj(self);
    if (!heap_ready(h) || !check_usable(h)) return nullptr;
    if (h->pins != nullptr || slots <= 0) {
        PyErr_SetString(PyExc_ValueError, "the pin table is set once, with a positive size");
        return nullptr;
    }
    try {
        // Room for every slot up front: releases push slots back from tp_dealloc, where nothing
        // may throw.
        h->free_slots->reserve(static_cast<std::size_t>(slots));
    } catch (...) {
        return PyErr_NoMemory();
    }
    const uint64_t bytes = uint64_t{static_cast<uint32_t>(slots)} * sizeof(PinSlot);
    void* base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) return PyErr_SetFromErrno(PyExc_OSError);
    h->pins = static_cast<PinSlot*>(base);
    h->pin_bytes = bytes;
    h->pin_capacity = slots;
    Py_RETURN_NONE;
}

// Logs the corrupt headers found by releases since the last call.
bool flush_pending(HeapObject* h) {
    if (!h->heap->has_pending()) return true;
    for (const core::Corruption& c : h->heap->take_pending()) {
        if (!log_corruption(c.stored, c.computed)) return false;
    }
    return true;
}

// Result: a Block, or None when no segment has room.
PyObject* new_block(HeapObject* h, PyTypeObject* tp, uint64_t nbytes) {
    if (!flush_pending(h)) return nullptr;
    Placement p;
    core::Corruption c;
    bool ok = h->heap->allocate(nbytes, p, c);
    if (!ok && !h->deferred->empty() && sweep(h) > 0) ok = h->heap->allocate(nbytes, p, c);
    if (c.stored != 0 || c.computed != 0) {
        // A slab was quarantined on the way and the heap is consistent again, so Python code (the
        // logging handlers) may run now.
        if (!log_corruption(c.stored, c.computed)) {
            if (ok) release_placement(h, p, nbytes);
            return nullptr;
        }
    }
    if (!ok) Py_RETURN_NONE;
    auto* b = reinterpret_cast<BlockObject*>(tp->tp_alloc(tp, 0));
    if (b == nullptr) {
        h->heap->release(p, nbytes);
        return nullptr;
    }
    b->heap = reinterpret_cast<HeapObject*>(Py_NewRef(reinterpret_cast<PyObject*>(h)));
    b->ptr = (*h->maps)[p.seg] + p.offset;
    b->nbytes = nbytes;
    b->p = p;
    b->slot = -1;
    return reinterpret_cast<PyObject*>(b);
}

constexpr auto kAlloc = vk::sig("alloc", "nbytes");

PyObject* heap_alloc(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    uint64_t nbytes;
    if (!vk::parse(kAlloc, args, nargs, kwnames, vk::u64(nbytes))) return nullptr;
    HeapObject* h = heap_obj(self);
    if (!heap_ready(h) || !check_usable(h)) return nullptr;
    if (nbytes == 0) nbytes = 1;  // an empty array still gets an address of its own
    return new_block(h, vk::state_of_type<ModuleState>(cls)->Block, nbytes);
}

PyObject* heap_sweep(PyObject* self, PyObject*) {
    HeapObject* h = heap_obj(self);
    if (!heap_ready(h)) return nullptr;
    return PyLong_FromUnsignedLongLong(sweep(h));
}

PyObject* heap_verify(PyObject* self, PyObject*) {
    HeapObject* h = heap_obj(self);
    if (!heap_ready(h)) return nullptr;
    if (!flush_pending(h)) return nullptr;
    std::vector<core::Corruption> found;
    h->heap->verify_all([&](uint16_t s, uint16_t c) { found.push_back({s, c}); });
    for (const core::Corruption& c : found) {
        if (!log_corruption(c.stored, c.computed)) return nullptr;
    }
    return PyLong_FromSize_t(found.size());
}

PyObject* heap_close(PyObject* self, PyObject*) {
    HeapObject* h = heap_obj(self);
    if (!heap_ready(h)) return nullptr;
    if (h->closed) Py_RETURN_NONE;
    h->closed = true;
    if (h->fork_gen != g_fork_generation.load(std::memory_order_relaxed)) Py_RETURN_NONE;
    sweep(h);  // closed: pinned blocks no longer matter to this heap (receivers keep their maps)
    h->heap->release_empty_slabs();
    for (uint32_t i = 0; i < h->maps->size(); ++i) {
        if (h->heap->segment(i).live == 0) unmap_segment(h, i);
    }
    Py_RETURN_NONE;
}

constexpr auto kSetLayout = vk::sig("set_objects_per_slab", "size_class", "objects");

PyObject* heap_set_layout(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    int32_t cls, objects;
    if (!vk::parse(kSetLayout, args, nargs, kwnames, vk::i32(cls), vk::i32(objects))) return nullptr;
    HeapObject* h = heap_obj(self);
    if (!heap_ready(h)) return nullptr;
    if (cls < 0 || cls >= core::kClasses || objects < 1 || objects > 64) {
        PyErr_Format(PyExc_ValueError, "size class must be in [0, %d) and objects in [1, 64]",
                     core::kClasses);
        return nullptr;
    }
    h->heap->set_objects_per_slab(cls, objects);
    Py_RETURN_NONE;
}

// The statistics as plain values; velkora.memory.arena shapes them.
PyObject* heap_stats(PyObject* self, PyObject*) {
    HeapObject* h = heap_obj(self);
    if (!heap_ready(h)) return nullptr;
    const core::Counters& c = h->heap->counters();
    const core::Heap::Usage u = h->heap->usage();
    uint64_t empty = 0, segments = 0;
    for (uint32_t i = 0; i < h->heap->segment_count(); ++i) {
        if (h->heap->segment(i).base == nullptr) continue;
        ++segments;
        if (h->heap->segment_empty(i)) ++empty;
    }
    uint64_t pinned_live = 0;
    for (const Deferred& d : *h->deferred) {
        if (at(h->pins[d.slot].live).load() > 0) ++pinned_live;
    }
    return Py_BuildValue(
        "{sKsKsKsKsKsLsLsLsLsLsKsKsKsKsKsKsKsKsKsKsKsnsKsKsisO}",
        "total_allocations", c.alloc.total_allocations,
        "total_deallocations", c.alloc.total_deallocations,
        "bucketed_allocations", c.alloc.bucketed_allocations,
        "fallback_allocations", c.alloc.fallback_allocations,
        "alignment_padding_bytes", c.alloc.alignment_padding_bytes,
        "current_allocations", static_cast<long long>(sync_cells::core::cell_load(const_cast<int64_t&>(c.current_allocations))),
        "bytes_allocated", static_cast<long long>(sync_cells::core::cell_load(const_cast<int64_t&>(c.bytes_allocated))),
        "peak_allocations", static_cast<long long>(c.peak_allocations),
        "peak_bytes_allocated", static_cast<long long>(c.peak_bytes_allocated),
        "bytes_requested", static_cast<long long>(c.bytes_requested),
        "segments", static_cast<unsigned long long>(segments),
        "empty_segments", static_cast<unsigned long long>(empty),
        "segment_bytes", static_cast<unsigned long long>(h->heap->reserved()),
        "free_bytes", static_cast<unsigned long long>(u.free_bytes),
        "largest_free_block", static_cast<unsigned long long>(u.largest_free),
        "free_blocks", static_cast<unsigned long long>(h->heap->free_block_count()),
        "slabs", static_cast<unsigned long long>(u.slabs),
        "slab_bytes", static_cast<unsigned long long>(u.slab_bytes),
        "slab_free_bytes", static_cast<unsigned long long>(u.slab_free_bytes),
        "quarantined_slabs", static_cast<unsigned long long>(c.quarantined_slabs),
        "splits", static_cast<unsigned long long>(c.splits),
        "pinned_blocks", static_cast<Py_ssize_t>(h->deferred->size()),
        "pinned_bytes", static_cast<unsigned long long>(h->deferred_bytes),
        "pinned_in_use", static_cast<unsigned long long>(pinned_live),
        "tree_height", static_cast<int>(h->heap->tree_height()),
        "closed", h->closed ? Py_True : Py_False);
}

constexpr auto kClassUsage = vk::sig("class_usage", "size_class");

PyObject* heap_class_usage(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    int32_t cls;
    if (!vk::parse(kClassUsage, args, nargs, kwnames, vk::i32(cls))) return nullptr;
    HeapObject* h = heap_obj(self);
    if (!heap_ready(h)) return nullptr;
    if (cls < 0 || cls >= core::kClasses) {
        PyErr_Format(PyExc_ValueError, "size class must be in [0, %d)", core::kClasses);
        return nullptr;
    }
    uint64_t slabs, live, capacity;
    h->heap->class_usage(cls, slabs, live, capacity);
    return Py_BuildValue("(KKKi)", static_cast<unsigned long long>(slabs),
                         static_cast<unsigned long long>(live),
                         static_cast<unsigned long long>(capacity),
                         h->heap->objects_per_slab(cls));
}

PyObject* heap_empty_segments(PyObject* self, PyObject*) {
    HeapObject* h = heap_obj(self);
    if (!heap_ready(h)) return nullptr;
    h->heap->release_empty_slabs();
    vk::Ref out = vk::Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    for (uint32_t i = 0; i < h->heap->segment_count(); ++i) {
        if (!h->heap->segment_empty(i)) continue;
        vk::Ref v = vk::Ref::steal(PyLong_FromUnsignedLong(i));
        if (!v || PyList_Append(out.get(), v.get()) < 0) return nullptr;
    }
    return out.release();
}

constexpr auto kConfigure = vk::sig("configure", "ndarray", "resolve_dtype", "shape_of", "grow");

PyObject* heap_configure(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    PyObject *nd = nullptr, *resolve = nullptr, *shape_of = nullptr, *grow = nullptr;
    if (!vk::parse(kConfigure, args, nargs, kwnames, vk::object(nd), vk::object(resolve),
                   vk::object(shape_of), vk::object(grow))) {
        return nullptr;
    }
    HeapObject* h = heap_obj(self);
    PyObject* old[4] = {h->ndarray, h->resolve_dtype, h->shape_of, h->grow};
    h->ndarray = Py_NewRef(nd);
    h->resolve_dtype = Py_NewRef(resolve);
    h->shape_of = Py_NewRef(shape_of);
    h->grow = Py_NewRef(grow);
    for (PyObject* o : old) Py_XDECREF(o);
    Py_RETURN_NONE;
}

// The dtype entry of `dtype`, resolving and caching it on a miss. Borrowed; null with an error.
DtypeEntry* dtype_entry(HeapObject* h, PyObject* dtype) {
    for (DtypeEntry& e : h->dtypes) {
        if (e.key == dtype) return &e;
    }
    vk::Ref r = vk::Ref::steal(PyObject_CallOneArg(h->resolve_dtype, dtype));
    if (!r) return nullptr;
    if (!PyTuple_CheckExact(r.get()) || PyTuple_GET_SIZE(r.get()) != 2) {
        PyErr_SetString(PyExc_TypeError, "resolve_dtype must return (dtype, itemsize)");
        return nullptr;
    }
    const Py_ssize_t itemsize = PyLong_AsSsize_t(PyTuple_GET_ITEM(r.get(), 1));
    if (itemsize < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "negative itemsize");
        return nullptr;
    }
    // The resolver may have run arbitrary code, this very method included: look again.
    for (DtypeEntry& e : h->dtypes) {
        if (e.key == dtype) return &e;
    }
    DtypeEntry& e = h->dtypes[h->dtype_next];
    h->dtype_next = (h->dtype_next + 1) % kDtypeCache;
    PyObject* old_key = e.key;
    PyObject* old_descr = e.descr;
    e.key = Py_NewRef(dtype);
    e.descr = Py_NewRef(PyTuple_GET_ITEM(r.get(), 0));
    e.itemsize = itemsize;
    Py_XDECREF(old_key);
    Py_XDECREF(old_descr);
    return &e;
}

// Elements of a shape given as an int or a tuple of ints, all non-negative; false otherwise
// (the Python normaliser then explains or converts).
bool count_elements(PyObject* shape, uint64_t& count, bool& overflow) {
    count = 1;
    overflow = false;
    auto take = [&](PyObject* d) {
        if (!PyLong_CheckExact(d)) return false;
        int of = 0;
        const long long v = PyLong_AsLongLongAndOverflow(d, &of);
        if (of != 0) {
            if (of < 0) return false;
            overflow = true;
            return true;
        }
        if (v < 0) return false;
        if (__builtin_mul_overflow(count, static_cast<uint64_t>(v), &count)) overflow = true;
        return true;
    };
    if (PyLong_CheckExact(shape)) return take(shape);
    if (!PyTuple_CheckExact(shape)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(shape); ++i) {
        if (!take(PyTuple_GET_ITEM(shape, i))) return false;
    }
    return true;
}

constexpr auto kEmpty = vk::sig("empty", "shape", vk::arg("dtype") = nullptr,
                                vk::arg("order") = nullptr);

PyObject* heap_empty(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    PyObject *shape = nullptr, *dtype = Py_None, *order = Py_None;
    if (!vk::parse(kEmpty, args, nargs, kwnames, vk::object(shape), vk::object(dtype),
                   vk::object(order))) {
        return nullptr;
    }
    HeapObject* h = heap_obj(self);
    if (!heap_ready(h) || !check_usable(h)) return nullptr;
    if (h->ndarray == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "Heap.empty needs configure() first");
        return nullptr;
    }
    uint64_t count;
    bool overflow;
    vk::Ref normalised;
    if (!count_elements(shape, count, overflow)) {
        normalised = vk::Ref::steal(PyObject_CallOneArg(h->shape_of, shape));
        if (!normalised) return nullptr;
        shape = normalised.get();
        if (!count_elements(shape, count, overflow)) {
            PyErr_SetString(PyExc_TypeError, "shape_of must return a tuple of non-negative ints");
            return nullptr;
        }
    }
    DtypeEntry* e = dtype_entry(h, dtype);
    if (e == nullptr) return nullptr;
    vk::Ref descr = vk::Ref::borrow(e->descr);  // the cache entry may be replaced by a callback
    uint64_t nbytes = 0;
    if (overflow || __builtin_mul_overflow(count, static_cast<uint64_t>(e->itemsize), &nbytes) ||
        nbytes > (uint64_t{1} << 62)) {
        PyErr_Format(PyExc_MemoryError,
                     "cannot allocate an array of shape %R and dtype %R: more bytes than the "
                     "address space holds", shape, descr.get());
        return nullptr;
    }
    vk::Ref block = vk::Ref::steal(
        new_block(h, vk::state_of_type<ModuleState>(cls)->Block, nbytes == 0 ? 1 : nbytes));
    if (!block) return nullptr;
    if (block.get() == Py_None) {
        vk::Ref n = vk::Ref::steal(PyLong_FromUnsignedLongLong(nbytes));
        if (!n) return nullptr;
        block = vk::Ref::steal(PyObject_CallOneArg(h->grow, n.get()));
        if (!block) return nullptr;
    }
    if (order == Py_None) {
        PyObject* call[3] = {shape, descr.get(), block.get()};
        return PyObject_Vectorcall(h->ndarray, call, 3, nullptr);
    }
    vk::Ref zero = vk::Ref::steal(PyLong_FromLong(0));
    if (!zero) return nullptr;
    PyObject* call[6] = {shape, descr.get(), block.get(), zero.get(), Py_None, order};
    return PyObject_Vectorcall(h->ndarray, call, 6, nullptr);
}

PyMethodDef heap_methods[] = {
    vk::def_method(kConfigure, heap_configure,
                   "Sets empty()'s helpers: numpy.ndarray, the dtype resolver (dtype -> (dtype, "
                   "itemsize)), the shape normaliser and the growth callback (nbytes -> Block)."),
    vk::def_method(kEmpty, heap_empty,
                   "A new array of the heap (numpy.empty's meaning); the native path of "
                   "SharedArena.empty."),
    vk::def_method(kAddSegment, heap_add_segment,
                   "Maps the memory file fd (size bytes) as a new segment, in reserve bytes of "
                   "address space it can grow into; returns its index."),
    vk::def_method(kExtend, heap_extend_segment,
                   "Grows a segment in place to size bytes of its file (already truncated to "
                   "them); False beyond the address space reserved for it."),
    vk::def_method(kShrink, heap_shrink_segment,
                   "Gives the free tail of a segment past size bytes back; False when it is not "
                   "free. The caller truncates the file."),
    vk::def_method(kTailFree, heap_tail_free, "Bytes of the free block at a segment's end."),
    vk::def_method(kRemoveSegment, heap_remove_segment,
                   "Unmaps an empty segment; False when it still holds anything."),
    vk::def_method(kSetPins, heap_set_pins, "Maps the shared pin table (slots entries)."),
    vk::def_method(kAlloc, heap_alloc,
                   "A Block of nbytes, or None when no segment has room. O(log n)."),
    vk::def_method("sweep", heap_sweep,
                   "Reuses pinned blocks whose receivers are done; returns how many."),
    vk::def_method("verify", heap_verify,
                   "Checks every slab header; quarantines and logs the corrupt ones."),
    vk::def_method("close", heap_close, "No further allocation; unmaps segments nothing uses."),
    vk::def_method(kSetLayout, heap_set_layout,
                   "Objects per new slab of a size class (64-byte classes from 0)."),
    vk::def_method("stats", heap_stats, "Counters and usage as a dict of ints."),
    vk::def_method(kClassUsage, heap_class_usage,
                   "(slabs, live objects, object capacity, objects per new slab) of a class."),
    vk::def_method("empty_segments", heap_empty_segments,
                   "Indices of segments without any block in use."),
    VK_REFUSE_PICKLING,
    {nullptr, nullptr, 0, nullptr},
};

// ---- Block ------------------------------------------------------------------------------------

BlockObject* block_obj(PyObject* o) { return reinterpret_cast<BlockObject*>(o); }

void block_dealloc(PyObject* self) {
    BlockObject* b = block_obj(self);
    PyTypeObject* tp = Py_TYPE(self);
    HeapObject* h = b->heap;
    if (h != nullptr && h->fork_gen == g_fork_generation.load(std::memory_order_relaxed)) {
        if (b->slot >= 0 && !h->closed && !try_retire(h, b->slot)) {
            try {
                h->deferred->push_back(Deferred{b->p, b->nbytes, b->slot});
                h->deferred_bytes += b->p.size;
            } catch (...) {
                // No room to remember it: the block stays out of use (a leak, never a reuse).
            }
        } else {
            if (b->slot >= 0 && h->closed) h->free_slots->push_back(b->slot);
            release_placement(h, b->p, b->nbytes);
        }
    }
    tp->tp_free(self);
    Py_XDECREF(reinterpret_cast<PyObject*>(h));
    Py_DECREF(tp);
}

int block_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    BlockObject* b = block_obj(self);
    return PyBuffer_FillInfo(view, self, b->ptr, static_cast<Py_ssize_t>(b->nbytes), 0, flags);
}

PyObject* block_export(PyObject* self, PyObject*) {
    // (segment, offset, slot, gen): the block's coordinates and its pin for one more receiver.
    BlockObject* b = block_obj(self);
    HeapObject* h = b->heap;
    if (!check_usable(h)) return nullptr;
    if (h->pins == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the arena has no pin table");
        return nullptr;
    }
    if (b->slot < 0) {
        int32_t slot;
        if (!h->free_slots->empty()) {
            slot = h->free_slots->back();
            h->free_slots->pop_back();
        } else if (h->pin_next < h->pin_capacity) {
            slot = h->pin_next++;
        } else {
            sweep(h);
            if (h->free_slots->empty()) {
                PyErr_Format(PyExc_BufferError,
                             "more than %d arena blocks are held by other processes at once",
                             h->pin_capacity);
                return nullptr;
            }
            slot = h->free_slots->back();
            h->free_slots->pop_back();
        }
        PinSlot& s = h->pins[slot];
        // A stale handle of the slot's previous block sees the generation change and refuses.
        at(s.gen).store(s.gen + 1);
        at(s.exports).store(0);
        at(s.attaches).store(0);
        at(s.live).store(0);
        b->slot = slot;
    }
    PinSlot& s = h->pins[b->slot];
    at(s.exports).fetch_add(1);
    return Py_BuildValue("(IKiI)", b->p.seg, static_cast<unsigned long long>(b->p.offset), b->slot,
                         at(s.gen).load());
}

PyObject* block_get_address(PyObject* self, void*) {
    return PyLong_FromVoidPtr(block_obj(self)->ptr);
}
PyObject* block_get_nbytes(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(block_obj(self)->nbytes);
}
PyObject* block_get_capacity(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(block_obj(self)->p.size);
}
PyObject* block_get_segment(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(block_obj(self)->p.seg);
}
PyObject* block_get_offset(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(block_obj(self)->p.offset);
}
PyObject* block_get_heap(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<PyObject*>(block_obj(self)->heap));
}
PyObject* block_get_slab(PyObject* self, void*) {
    return PyBool_FromLong(block_obj(self)->p.slab != nullptr);
}

PyGetSetDef block_getset[] = {
    {"address", block_get_address, nullptr, "Address of the first byte in this process.", nullptr},
    {"nbytes", block_get_nbytes, nullptr, "Bytes requested.", nullptr},
    {"capacity", block_get_capacity, nullptr, "Bytes reserved for the block.", nullptr},
    {"segment", block_get_segment, nullptr, "Index of the segment holding it.", nullptr},
    {"offset", block_get_offset, nullptr, "Offset in the segment.", nullptr},
    {"heap", block_get_heap, nullptr, "The Heap it came from.", nullptr},
    {"from_slab", block_get_slab, nullptr, "Whether it is a slab object.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef block_methods[] = {
    vk::def_method("export", block_export,
                   "(segment, offset, slot, generation) for one more receiving process."),
    VK_REFUSE_PICKLING,
    {nullptr, nullptr, 0, nullptr},
};

// ---- Mapping and View ---------------------------------------------------------------------------

constexpr auto kMappingInit = vk::sig("Mapping", "fd", "size");

int mapping_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    int32_t fd;
    uint64_t size;
    if (!vk::parse_tuple(kMappingInit, args, kwargs, vk::i32(fd), vk::u64(size))) return -1;
    auto* m = reinterpret_cast<MappingObject*>(self);
    if (m->base != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "Mapping is already initialised");
        return -1;
    }
    if (size == 0) {
        PyErr_SetString(PyExc_ValueError, "a mapping needs a positive size");
        return -1;
    }
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    m->base = static_cast<uint8_t*>(base);
    m->size = size;
    return 0;
}

void mapping_dealloc(PyObject* self) {
    auto* m = reinterpret_cast<MappingObject*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    if (m->base != nullptr) munmap(m->base, m->size);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* mapping_get_size(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<MappingObject*>(self)->size);
}

PyGetSetDef mapping_getset[] = {
    {"size", mapping_get_size, nullptr, "Bytes mapped.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr auto kViewInit = vk::sig("View", "mapping", "offset", "nbytes", vk::arg("pins") = nullptr,
                                   vk::arg("slot") = -1, vk::arg("generation") = 0);

int view_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* mapping;
    uint64_t offset, nbytes;
    PyObject* pins = Py_None;
    int64_t slot = -1;
    uint32_t gen = 0;
    if (!vk::parse_tuple(kViewInit, args, kwargs, vk::object(mapping), vk::u64(offset),
                         vk::u64(nbytes), vk::object(pins), vk::i64(slot), vk::u32(gen))) {
        return -1;
    }
    auto* out = reinterpret_cast<ViewObject*>(self);
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &module_def);
    if (module == nullptr) return -1;
    ModuleState* st = state(module);
    if (out->mapping != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "View is already initialised");
        return -1;
    }
    if (!Py_IS_TYPE(mapping, st->Mapping) || (pins != Py_None && !Py_IS_TYPE(pins, st->Mapping))) {
        PyErr_SetString(PyExc_TypeError, "mapping must be a Mapping, and pins a Mapping or None");
        return -1;
    }
    auto* m = reinterpret_cast<MappingObject*>(mapping);
    if (m->base == nullptr || offset > m->size || nbytes > m->size - offset) {
        PyErr_Format(PyExc_ValueError, "bytes [%llu, %llu) lie outside the %llu-byte mapping",
                     static_cast<unsigned long long>(offset),
                     static_cast<unsigned long long>(offset + nbytes),
                     static_cast<unsigned long long>(m->size));
        return -1;
    }
    PinSlot* s = nullptr;
    MappingObject* pm = nullptr;
    if (pins != Py_None) {
        pm = reinterpret_cast<MappingObject*>(pins);
        if (slot < 0 || static_cast<uint64_t>(slot + 1) * sizeof(PinSlot) > pm->size) {
            PyErr_Format(PyExc_ValueError, "pin slot %lld is outside the pin table",
                         static_cast<long long>(slot));
            return -1;
        }
        s = reinterpret_cast<PinSlot*>(pm->base) + slot;
        // Count this view first, the attach second: the owner reads them in the other order, so
        // if it sees the attach it sees the view too.
        int32_t v = at(s->live).load();
        bool stale = false;
        do {
            if (v < 0) {
                stale = true;
                break;
            }
        } while (!at(s->live).compare_exchange_weak(v, v + 1));
        if (!stale) {
            at(s->attaches).fetch_add(1);
            if (at(s->gen).load() != gen) {
                at(s->live).fetch_sub(1);
                stale = true;
            }
        }
        if (stale) {
            PyErr_SetString(PyExc_ValueError,
                            "the arena block behind this handle was already released by its owner "
                            "(a stale handle)");
            return -1;
        }
    }
    out->mapping = reinterpret_cast<MappingObject*>(Py_NewRef(mapping));
    out->pins = pm != nullptr ? reinterpret_cast<MappingObject*>(Py_NewRef(pins)) : nullptr;
    out->ptr = m->base + offset;
    out->nbytes = nbytes;
    out->slot = s;
    return 0;
}

void view_dealloc(PyObject* self) {
    auto* v = reinterpret_cast<ViewObject*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    if (v->slot != nullptr) at(v->slot->live).fetch_sub(1);
    PyObject* m = reinterpret_cast<PyObject*>(v->mapping);
    PyObject* p = reinterpret_cast<PyObject*>(v->pins);
    tp->tp_free(self);
    Py_XDECREF(m);
    Py_XDECREF(p);
    Py_DECREF(tp);
}

int view_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* v = reinterpret_cast<ViewObject*>(self);
    if (v->mapping == nullptr) {
        PyErr_SetString(PyExc_ValueError, "View is not initialised");
        return -1;
    }
    return PyBuffer_FillInfo(view, self, v->ptr, static_cast<Py_ssize_t>(v->nbytes), 0, flags);
}

PyObject* view_get_nbytes(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<ViewObject*>(self)->nbytes);
}

PyGetSetDef view_getset[] = {
    {"nbytes", view_get_nbytes, nullptr, "Bytes of the view.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- types ---------------------------------------------------------------------------------------

// A heap type with buffer slots (vk::TypeDef has none); not subclassable where a subclass could
// break the release in dealloc.
bool add_type(PyObject* m, const char* name, std::size_t size, const char* doc, initproc init,
              destructor dealloc, PyMethodDef* methods, PyGetSetDef* getset, getbufferproc getbuf,
              bool constructible, PyTypeObject** out, traverseproc traverse = nullptr,
              inquiry clear = nullptr) {
    PyType_Slot slots[10];
    int n = 0;
    slots[n++] = {Py_tp_doc, const_cast<char*>(doc)};
    slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)};
    slots[n++] = {Py_tp_methods, methods};
    if (getset != nullptr) slots[n++] = {Py_tp_getset, getset};
    if (init != nullptr) slots[n++] = {Py_tp_init, reinterpret_cast<void*>(init)};
    if (constructible) slots[n++] = {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)};
    if (getbuf != nullptr) slots[n++] = {Py_bf_getbuffer, reinterpret_cast<void*>(getbuf)};
    if (traverse != nullptr) {
        slots[n++] = {Py_tp_traverse, reinterpret_cast<void*>(traverse)};
        slots[n++] = {Py_tp_clear, reinterpret_cast<void*>(clear)};
    }
    slots[n++] = {0, nullptr};
    unsigned int flags = Py_TPFLAGS_DEFAULT | (traverse != nullptr ? Py_TPFLAGS_HAVE_GC : 0);
    if (!constructible) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    PyType_Spec spec{name, static_cast<int>(size), 0, flags, slots};
    PyObject* t = PyType_FromModuleAndSpec(m, &spec, nullptr);
    if (t == nullptr) return false;
    if (PyModule_AddType(m, reinterpret_cast<PyTypeObject*>(t)) < 0) {
        Py_DECREF(t);
        return false;
    }
    *out = reinterpret_cast<PyTypeObject*>(t);
    return true;
}

int module_exec(PyObject* m) {
    ModuleState* st = state(m);
    if (!st->names.init()) return -1;
    static const int registered = pthread_atfork(nullptr, nullptr, after_fork_in_child);
    if (registered != 0) {
        PyErr_SetString(PyExc_RuntimeError, "cannot register the fork handler");
        return -1;
    }
    static char* heap_doc = vk::class_doc(
        kHeapInit, "The allocator of one arena: segments, best-fit blocks, slabs, pins.");
    static char* view_doc = vk::class_doc(
        kViewInit, "A buffer over [offset, offset + nbytes) of a Mapping, counted in a pin slot.");
    static char* mapping_doc = vk::class_doc(
        kMappingInit, "A shared segment mapped into this process (a receiver's side).");
    if (!add_type(m, "velkora.memory.arena_heap.Heap", sizeof(HeapObject), heap_doc, heap_init,
                  heap_dealloc, heap_methods, nullptr, nullptr, true, &st->Heap, heap_traverse,
                  heap_clear) ||
        !add_type(m, "velkora.memory.arena_heap.Block", sizeof(BlockObject),
                  "Arena memory of one array; released when the last array over it goes.",
                  nullptr, block_dealloc, block_methods, block_getset, block_getbuffer, false,
                  &st->Block) ||
        !add_type(m, "velkora.memory.arena_heap.Mapping", sizeof(MappingObject), mapping_doc,
                  mapping_init, mapping_dealloc, vk::refusal_only, mapping_getset, nullptr, true,
                  &st->Mapping) ||
        !add_type(m, "velkora.memory.arena_heap.View", sizeof(ViewObject), view_doc, view_init,
                  view_dealloc, vk::refusal_only, view_getset, view_getbuffer, true,
                  &st->View)) {
        return -1;
    }
    return vk::module_add(m, "SMALL_MAX", PyLong_FromUnsignedLongLong(core::kSmallMax)) &&
                   vk::module_add(m, "ALIGNMENT", PyLong_FromUnsignedLongLong(core::kAlign)) &&
                   vk::module_add(m, "PIN_SLOT_BYTES", PyLong_FromSize_t(sizeof(PinSlot)))
               ? 0
               : -1;
}

}  // namespace
}  // namespace arena_heap

VK_MODULE(arena_heap, "velkora.memory.arena_heap",
          "The native allocator behind velkora.memory.arena's shared-memory arenas.")
