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

}  // namespace
}  // namespace arena_heap

// The segment methods: a part of this unit, after the objects, state and helpers above.
#include "arena_heap_segments.inc"

namespace arena_heap {
namespace {

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

}  // namespace
}  // namespace arena_heap

// configure and empty: a part of this unit, after the objects, state and new_block above.
#include "arena_heap_empty.inc"

namespace arena_heap {
namespace {


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

}  // namespace
}  // namespace arena_heap

// Block, Mapping and View: a part of this unit, after the objects, state and helpers above.
#include "arena_heap_buffers.inc"

namespace arena_heap {
namespace {


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
