// velkora.memory.block_index: FastRedBlackTree, the memory pool's index of free blocks by size.
//
// Locking model. Every structural change runs with the interpreter lock held and without calling
// Python code, so whenever a thread holds the interpreter lock the tree is consistent. Writers
// still follow the sequence-counter protocol (odd while inside, even on every exit) because readers
// observe it: a reader that finds the counter odd backs off with time.sleep. The only writer
// section that runs Python code is delete's comparison of blocks; it holds write_lock for real from
// before it reads the tree. Every other section is pure and skips the free genuine lock (see
// vkbind/lock.hpp for why that is safe); while a delete is inside (counter odd) it enters the lock
// for real, before reading anything. A delete decides which kind it is before it reads the tree:
// the identity-only shortcut never turns into a locked section half-way, it gives up and starts
// again under the lock.
// Block references are dropped only after the section has been left, because a block's finalizer
// may call back into this tree. A finalizer or __eq__ that calls back from inside delete's
// comparisons on the same thread runs as a nested writer instead of deadlocking on write_lock;
// delete then notices the change and compares again from the head of the chain.
// The object, its writer and reader sections are in block_index_sections.hpp.
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "vkbind/vkbind.hpp"

#include "block_index_core.hpp"
#include "block_index_sections.hpp"

namespace block_index {
using namespace core;  // the module's own pure C++, named unqualified here
extern PyModuleDef module_def;  // defined at the end, by VK_MODULE
namespace {

// ---- small helpers -----------------------------------------------------------------------------

// Sign of an int object: true when negative.
bool int_is_negative(PyObject* v) {
    int overflow = 0;
    const long long x = vk::int64_of(v, overflow);
    return overflow < 0 || (overflow == 0 && x < 0);
}

[[gnu::cold]] void raise_invalid_size(PyObject* size) {
    PyErr_Format(PyExc_ValueError, "Invalid size: %S", size);
}

// Frees a detached tree and releases its blocks; nothing else can reach it any more.
void release_records(DetachedTree& d) {
    free_detached(d, py_memory, [](void* block) { Py_DECREF(static_cast<PyObject*>(block)); });
}

bool ready(TreeObject* self) {
    if (self->write_lock != nullptr) [[likely]] return true;
    PyErr_SetString(PyExc_RuntimeError, "FastRedBlackTree.__init__() has not been called");
    return false;
}

// Converts a size argument (already an int: bound as a Python int) to the native key: negative
// sizes go through _sanitize_size (ours directly for the exact type, looked up on the instance
// otherwise). Returns 1 with *key set, 0 for a negative size when `neutral` (the ValueError
// swallowed), -1 on error.
int key_of(TreeObject* self, PyObject* size, uint64_t* key, bool neutral) {
    if (self->exact) [[likely]] {
        int overflow = 0;
        const long long v = vk::int64_of(size, overflow);
        if (overflow == 0 && v >= 0) {
            *key = static_cast<uint64_t>(v);
            return 1;
        }
        if (overflow < 0 || (overflow == 0 && v < 0)) {
            if (neutral) return 0;
            raise_invalid_size(size);
            return -1;
        }
        const unsigned long long u = PyLong_AsUnsignedLongLong(size);
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
        *key = u;
        return 1;
    }
    vk::Ref r = vk::Ref::steal(vk::call_method(reinterpret_cast<PyObject*>(self),
                                           self->st->names[s_sanitize_size], size));
    if (!r) {
        if (neutral && PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    const unsigned long long u = PyLong_AsUnsignedLongLong(r.get());
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
    *key = u;
    return 1;
}

// count % rate == 0 with Python's semantics; 1 sampled, 0 not, -1 error.
int is_sampled(ModuleState* st, PyObject* count, uint32_t rate) {
    if (rate == 0) return 0;
    if (PyLong_CheckExact(count)) {
        int overflow = 0;
        const long long v = vk::int64_of(count, overflow);
        if (overflow == 0) return v % static_cast<long long>(rate) == 0 ? 1 : 0;
    }
    vk::Ref r = vk::Ref::steal(PyLong_FromUnsignedLong(rate));
    if (!r) return -1;
    vk::Ref rem = vk::Ref::steal(PyNumber_Remainder(count, r.get()));
    if (!rem) return -1;
    vk::Ref eq = vk::Ref::steal(PyObject_RichCompare(rem.get(), st->zero, Py_EQ));
    return eq ? PyObject_IsTrue(eq.get()) : -1;
}

// ---- construction and destruction --------------------------------------------------------------

constexpr auto kInit = vk::sig("FastRedBlackTree", vk::arg("sample_rate") = 100);

PyObject* tree_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* m = PyType_GetModuleByDef(type, &module_def);
    if (m == nullptr) return nullptr;
    PyObject* o = type->tp_alloc(type, 0);  // zeroed: an empty tree, counter 0
    if (o == nullptr) return nullptr;
    TreeObject* self = as_tree(o);
    self->st = vk::state_of<ModuleState>(m);
    self->exact = type == self->st->tree_type;
    return o;
}

void reset_stats(Stats& s) { s = Stats{}; }

// Two fresh AtomicCounter(0) when the module globals ATOMIC_AVAILABLE and AtomicCounter are both
// true; both empty otherwise. False on error.
bool make_counters(ModuleState* st, vk::Ref& op, vk::Ref& sampled) {
    vk::Ref avail = vk::Ref::steal(global(st, st->names[s_ATOMIC_AVAILABLE]));
    if (!avail) return false;
    int t = PyObject_IsTrue(avail.get());
    if (t <= 0) return t == 0;
    vk::Ref cls = vk::Ref::steal(global(st, st->names[s_AtomicCounter]));
    if (!cls) return false;
    t = PyObject_IsTrue(cls.get());
    if (t <= 0) return t == 0;
    op = vk::Ref::steal(PyObject_CallOneArg(cls.get(), st->zero));
    if (!op) return false;
    sampled = vk::Ref::steal(PyObject_CallOneArg(cls.get(), st->zero));
    return static_cast<bool>(sampled);
}

PyObject* new_lock(ModuleState* st) {
    bool genuine = false;
    return st->locks.new_lock(st->module, genuine);
}

// Empties the tree in the writer protocol and installs new counters; the old counters and the
// detached nodes and blocks are released after the section. Used by clear() and a second __init__.
bool reset_tree(TreeObject* self, vk::Ref op, vk::Ref sampled, bool using_atomic,
                uint32_t sample_rate) {
    DetachedTree detached{};
    {
        WriteSection ws(self, false);
        if (!ws.ok()) return false;
        detached = self->tree.detach();
        reset_stats(self->stats);
        self->sample_rate = sample_rate;
        self->using_atomic = using_atomic;
        PyObject* old_op = std::exchange(self->operation_counter, op.release());
        PyObject* old_sampled = std::exchange(self->sampled_counter, sampled.release());
        op = vk::Ref::steal(old_op);  // dropped below, after the section
        sampled = vk::Ref::steal(old_sampled);
        if (!ws.leave(false)) {
            release_records(detached);
            return false;
        }
    }
    op.reset();
    sampled.reset();
    release_records(detached);
    return true;
}

int tree_init(PyObject* o, PyObject* args, PyObject* kwargs) {
    TreeObject* self = as_tree(o);
    ModuleState* st = self->st;
    uint32_t sample_rate;
    if (!vk::parse_tuple(kInit, args, kwargs, vk::u32(sample_rate))) return -1;

    if (self->write_lock != nullptr) {
        // A second __init__: the same as clear(), with the new rate and counters.
        vk::Ref op, sampled;
        if (!make_counters(st, op, sampled)) return -1;
        const bool atomic = static_cast<bool>(op);
        return reset_tree(self, std::move(op), std::move(sampled), atomic, sample_rate) ? 0 : -1;
    }
    vk::Ref write_lock = vk::Ref::steal(new_lock(st));
    if (!write_lock) return -1;
    vk::Ref op, sampled;
    if (!make_counters(st, op, sampled)) return -1;
    vk::Ref stats_lock = vk::Ref::steal(new_lock(st));
    if (!stats_lock) return -1;
    self->sample_rate = sample_rate;
    self->using_atomic = static_cast<bool>(op);
    self->operation_counter = op.release();
    self->sampled_counter = sampled.release();
    self->stats_lock = stats_lock.release();
    reset_stats(self->stats);
    self->write_lock = write_lock.release();  // last: marks the tree initialised
    return 0;
}

// The stored blocks are the tree's references too: a block that refers back to its tree (a pool
// record and its pool) makes a cycle the collector must see. The collector runs with the
// interpreter lock held, where the tree is always consistent (see the locking model above).
int tree_traverse(PyObject* o, visitproc visit, void* arg) {
    if (const int r = vk::traverse_object<TreeObject>(o, visit, arg)) return r;
    return as_tree(o)->tree.for_each_block(
        [&](void* block) { Py_VISIT(static_cast<PyObject*>(block)); return 0; });
}

// Breaks cycles through the tree: empties it as a writer would (the counter moves by two, so the
// tree is consistent and empty before any reference goes), drops the locks and counters, and
// releases the blocks last; code their release runs finds an uninitialised, empty tree. No
// section of this tree can be open here: a method running on it holds a reference from its
// caller, so the collector never finds it unreachable.
int tree_clear(PyObject* o) {
    TreeObject* self = as_tree(o);
    self->using_atomic = false;
    self->seq.begin();
    DetachedTree detached = self->tree.detach();
    self->stats.total_blocks = 0;
    self->seq.end();
    vk::clear_object<TreeObject>(o);
    release_records(detached);
    return 0;
}

void tree_dealloc(PyObject* o) {
    TreeObject* self = as_tree(o);
    PyTypeObject* tp = Py_TYPE(o);
    PyObject_GC_UnTrack(o);
    // Trees stored in trees: the trashcan bounds the recursion of a long chain.
    Py_TRASHCAN_BEGIN(o, tree_dealloc)
    if (self->tree.root != nullptr || self->tree.arena.chunks != nullptr ||
        self->tree.buckets != nullptr) {
        // Blocks' finalizers may run here; keep any exception in flight intact around them.
        vk::SavedError saved;
        tree_clear(o);
        saved.restore();
    } else {
        tree_clear(o);
    }
    tp->tp_free(o);
    Py_DECREF(tp);
    Py_TRASHCAN_END
}

// ---- write operations --------------------------------------------------------------------------

constexpr auto kInsert = vk::sig("insert", "size", "block");
constexpr auto kDelete = vk::sig("delete", "size", "block");
constexpr auto kRemoveGe = vk::sig("remove_ge", "size");

PyObject* tree_insert(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TreeObject* self = as_tree(o);
    vk::Ref size;
    PyObject* block = nullptr;
    if (!vk::parse(kInsert, args, nargs, kwnames, vk::pyint(size), vk::object(block))) {
        return nullptr;
    }
    uint64_t key;
    if (key_of(self, size.get(), &key, false) < 0 || !ready(self)) return nullptr;

    // Sampling decision before the lock, through the counter's Python method.
    bool sampled = false;
    if (self->using_atomic) {
        vk::Ref counter = vk::Ref::borrow(self->operation_counter);
        vk::Ref count = vk::Ref::steal(vk::call_method(counter.get(), self->st->names[s_increment]));
        if (!count) return nullptr;
        const int s = is_sampled(self->st, count.get(), self->sample_rate);
        if (s < 0) return nullptr;
        sampled = s == 1;
    }
    {
        WriteSection ws(self, false);
        if (!ws.ok()) return nullptr;
        if (!self->tree.insert(key, block, py_memory)) {
            PyErr_SetString(PyExc_MemoryError, "Failed to allocate RB node");
            ws.leave(true);
            return nullptr;
        }
        Py_INCREF(block);
        ++self->stats.total_blocks;
        ++self->stats.total_insertions;
        ++self->stats.operation_count;
        if (!ws.leave(false)) return nullptr;
    }
    if (sampled && self->using_atomic) {
        vk::Ref counter = vk::Ref::borrow(self->sampled_counter);
        vk::Ref r = vk::Ref::steal(vk::call_method(counter.get(), self->st->names[s_increment]));
        if (!r) return nullptr;
    }
    Py_RETURN_TRUE;
}

PyObject* tree_delete(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TreeObject* self = as_tree(o);
    vk::Ref size;
    PyObject* block = nullptr;
    if (!vk::parse(kDelete, args, nargs, kwnames, vk::pyint(size), vk::object(block))) {
        return nullptr;
    }
    uint64_t key;
    const int k = key_of(self, size.get(), &key, true);
    if (k <= 0) return k == 0 ? vk::boolean(false) : nullptr;
    if (!ready(self)) return nullptr;

    Deferred deferred;  // declared first: released last, after the section and `removed`
    vk::Ref removed;
    Outcome r = Outcome::NeedsComparison;
    // Which kind of section this is, is settled before the tree is read: a pure section never
    // takes the lock half-way (a thread blocked in acquire() may own it by then).
    if (compares_by_identity(block) && WriteSection::opens_at_once(self)) {
        r = delete_by_identity(self, key, block, removed);
    }
    if (r == Outcome::NeedsComparison) r = delete_compared(self, key, block, removed, deferred);
    if (r == Outcome::Error) return nullptr;
    return vk::boolean(r == Outcome::Removed);
}

PyObject* tree_remove_ge(PyObject* o, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    TreeObject* self = as_tree(o);
    vk::Ref size;
    if (!vk::parse(kRemoveGe, args, nargs, kwnames, vk::pyint(size))) return nullptr;
    uint64_t key;
    const int k = key_of(self, size.get(), &key, true);
    if (k < 0) return nullptr;
    if (k == 0) return PyTuple_Pack(2, Py_None, Py_None);
    if (!ready(self)) return nullptr;

    vk::Ref block;
    uint64_t actual = 0;
    {
        WriteSection ws(self, false);
        if (!ws.ok()) return nullptr;
        if (RBNode* node = self->tree.find_best_fit_node(key)) {
            actual = node->size;
            block = vk::Ref::steal(static_cast<PyObject*>(self->tree.take_head(node, py_memory)));
            --self->stats.total_blocks;
            ++self->stats.total_deletions;
        }
        if (!ws.leave(false)) return nullptr;
    }
    // The result is built once the tree is consistent and the lock is free: allocating it may
    // run finalizers that use this tree.
    if (!block) return PyTuple_Pack(2, Py_None, Py_None);
    vk::Ref n = vk::Ref::steal(PyLong_FromUnsignedLongLong(actual));
    if (!n) return nullptr;
    PyObject* t = PyTuple_New(2);
    if (t == nullptr) return nullptr;
    PyTuple_SET_ITEM(t, 0, n.release());
    PyTuple_SET_ITEM(t, 1, block.release());
    return t;
}

PyObject* tree_clear_method(PyObject* o, PyObject*) {
    TreeObject* self = as_tree(o);
    if (!ready(self)) return nullptr;
    vk::Ref op, sampled;
    if (self->using_atomic) {
        vk::Ref cls = vk::Ref::steal(global(self->st, self->st->names[s_AtomicCounter]));
        if (!cls) return nullptr;
        op = vk::Ref::steal(PyObject_CallOneArg(cls.get(), self->st->zero));
        if (!op) return nullptr;
        sampled = vk::Ref::steal(PyObject_CallOneArg(cls.get(), self->st->zero));
        if (!sampled) return nullptr;
    }
    const bool atomic = self->using_atomic;
    if (!reset_tree(self, std::move(op), std::move(sampled), atomic, self->sample_rate)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---- searches (reader protocol: block_index_sections.hpp) --------------------------------------

constexpr auto kFindBestFit = vk::sig("find_best_fit", "size", vk::arg("alignment") = 1);
constexpr auto kFindAllExact = vk::sig("find_all_exact", "size");

PyObject* tree_find_best_fit(PyObject* o, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    TreeObject* self = as_tree(o);
    vk::Ref size, alignment;  // alignment is accepted and not used
    if (!vk::parse(kFindBestFit, args, nargs, kwnames, vk::pyint(size), vk::pyint(alignment))) {
        return nullptr;
    }
    uint64_t key;
    const int k = key_of(self, size.get(), &key, true);
    if (k <= 0) return k == 0 ? vk::none() : nullptr;
    if (!ready(self)) return nullptr;  // as the writers say
    PyObject* result = nullptr;
    const int r = read_protocol(self, [&](uint64_t start) {
        const RBNode* node = self->tree.find_best_fit_node(key);
        if (!self->seq.read_validate(start)) return 0;
        result = Py_NewRef(node != nullptr ? static_cast<PyObject*>(node->block_obj) : Py_None);
        return 1;
    });
    if (r <= 0) return r == 0 ? vk::none() : nullptr;
    ++self->stats.total_searches;
    return result;
}

PyObject* tree_find_all_exact(PyObject* o, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    TreeObject* self = as_tree(o);
    vk::Ref size;
    if (!vk::parse(kFindAllExact, args, nargs, kwnames, vk::pyint(size))) return nullptr;
    uint64_t key;
    const int k = key_of(self, size.get(), &key, true);
    if (k < 0) return nullptr;
    if (k == 0) return PyList_New(0);
    if (!ready(self)) return nullptr;
    PyObject* result = nullptr;
    const int r = read_protocol(self, [&](uint64_t start) {
        const RBNode* node = self->tree.find_node(key);
        if (!self->seq.read_validate(start)) return 0;
        const Py_ssize_t n = node != nullptr ? static_cast<Py_ssize_t>(node->chain_length()) : 0;
        if (n > 1) {
            __builtin_prefetch(node->later);
            __builtin_prefetch(node->block_obj, 1);  // increfs below
        }
        PyObject* list = PyList_New(n);
        if (list == nullptr) return -1;
        // Allocating the list may have run finalizers that changed the tree: look again.
        if (!self->seq.read_validate(start)) {
            Py_DECREF(list);
            return 0;
        }
        for (Py_ssize_t i = 1; i < n && i < 32; ++i) {
            __builtin_prefetch(node->chain_at(static_cast<uint64_t>(i)), 1);
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* b = static_cast<PyObject*>(node->chain_at(static_cast<uint64_t>(i)));
            PyList_SET_ITEM(list, i, Py_NewRef(b));
        }
        result = list;
        return 1;
    });
    if (r <= 0) return r == 0 ? PyList_New(0) : nullptr;
    ++self->stats.total_searches;
    return result;
}

// ---- size queries and statistics ---------------------------------------------------------------

constexpr auto kSanitizeSize = vk::sig("_sanitize_size", "size");

PyObject* tree_sanitize_size(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    vk::Ref size;
    if (!vk::parse(kSanitizeSize, args, nargs, kwnames, vk::pyint(size))) return nullptr;
    if (int_is_negative(size.get())) {
        raise_invalid_size(size.get());
        return nullptr;
    }
    return size.release();
}

PyObject* tree_size(PyObject* o, PyObject*) {
    return PyLong_FromUnsignedLongLong(as_tree(o)->tree.node_count);
}

// self.size(), looked up on the instance (subclasses only).
PyObject* subclass_size(TreeObject* self) {
    return vk::call_method(reinterpret_cast<PyObject*>(self), self->st->names[s_size]);
}

Py_ssize_t tree_len(PyObject* o) {
    TreeObject* self = as_tree(o);
    if (self->exact) return static_cast<Py_ssize_t>(self->tree.node_count);
    vk::Ref r = vk::Ref::steal(subclass_size(self));
    if (!r) return -1;
    vk::Ref index = vk::Ref::steal(PyNumber_Index(r.get()));
    if (!index) return -1;
    const Py_ssize_t n = PyLong_AsSsize_t(index.get());
    if (n == -1 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_SetString(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
        }
        return -1;
    }
    if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "__len__() should return >= 0");
        return -1;
    }
    return n;
}

int tree_bool(PyObject* o) {
    TreeObject* self = as_tree(o);
    if (self->exact) return self->tree.node_count > 0;
    vk::Ref r = vk::Ref::steal(subclass_size(self));
    if (!r) return -1;
    vk::Ref gt = vk::Ref::steal(PyObject_RichCompare(r.get(), self->st->zero, Py_GT));
    return gt ? PyObject_IsTrue(gt.get()) : -1;
}

PyObject* tree_repr(PyObject* o) {
    return PyUnicode_FromFormat("FastRedBlackTree(blocks=%llu, native=True)",
                                static_cast<unsigned long long>(as_tree(o)->tree.node_count));
}

PyObject* tree_get_stats(PyObject* o, PyObject*) {
    TreeObject* self = as_tree(o);
    ModuleState* st = self->st;
    if (!ready(self)) return nullptr;
    Stats s;
    uint64_t nodes;
    int32_t height;
    {
        // Every section of stats_lock is pure: the genuine lock is never entered, so never held.
        vk::LockGuard guard(st->locks, self->stats_lock, vk::Section::Pure);
        if (!guard.ok()) return nullptr;
        s = self->stats;
        nodes = self->tree.node_count;
        height = RBTree::height(self->tree.root);
        if (!guard.release()) return nullptr;
    }
    vk::Ref sampled;
    if (self->using_atomic) {
        vk::Ref counter = vk::Ref::borrow(self->sampled_counter);
        sampled = vk::Ref::steal(vk::call_method(counter.get(), st->names[s_load]));
    } else {
        sampled = vk::Ref::steal(PyLong_FromLong(0));
    }
    if (!sampled) return nullptr;

    vk::Ref d = vk::Ref::steal(PyDict_New());
    if (!d) return nullptr;
    PyObject* dp = d.get();
    const Names& key = st->names;
    bool ok = vk::dict_set_steal(dp, key[s_total_blocks], PyLong_FromLongLong(s.total_blocks)) &&
              vk::dict_set_steal(dp, key[s_total_insertions], PyLong_FromLongLong(s.total_insertions)) &&
              vk::dict_set_steal(dp, key[s_total_deletions], PyLong_FromLongLong(s.total_deletions)) &&
              vk::dict_set_steal(dp, key[s_total_searches], PyLong_FromLongLong(s.total_searches)) &&
              vk::dict_set_steal(dp, key[s_bucket_hits], PyLong_FromLong(0)) &&
              vk::dict_set_steal(dp, key[s_tree_hits], PyLong_FromLong(0)) &&
              vk::dict_set_steal(dp, key[s_operation_count], PyLong_FromLongLong(s.operation_count));
    if (ok && s.has_circuit_breaker_trips) {
        ok = vk::dict_set_steal(dp, key[s_circuit_breaker_trips], PyLong_FromLong(0));
    }
    ok = ok && vk::dict_set_steal(dp, key[s_node_count], PyLong_FromUnsignedLongLong(nodes)) &&
         vk::dict_set_steal(dp, key[s_height], PyLong_FromLong(height)) &&
         vk::dict_set_steal(dp, key[s_sampled_operations], sampled.release()) &&
         vk::dict_set_steal(dp, key[s_is_valid], Py_NewRef(Py_True));
    return ok ? d.release() : nullptr;
}

PyObject* tree_get_statistics(PyObject*, PyObject*) { return PyDict_New(); }

PyObject* tree_get_size_distribution(PyObject* o, PyObject*) {
    TreeObject* self = as_tree(o);
    if (!ready(self)) return nullptr;
    std::vector<std::pair<uint64_t, uint64_t>> dist;
    {
        // Pure: skips the free genuine lock; enters it for real (before the walk) while a paused
        // delete holds it (counter odd), and not at all inside this thread's own writer section.
        std::optional<vk::LockGuard> guard;
        const bool odd = self->seq.odd();
        if (!(odd && self->writer_thread == PyThread_get_thread_ident())) {
            guard.emplace(self->st->locks, self->write_lock,
                          odd ? vk::Section::Python : vk::Section::Pure);
            if (!guard->ok()) return nullptr;
        }
        try {
            auto add = [&](uint64_t size, uint64_t count) { dist.emplace_back(size, count); };
            RBTree::for_each_preorder(self->tree.root, add);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return nullptr;  // the guard hands the MemoryError to __exit__
        }
        if (guard && !guard->release()) return nullptr;
    }
    vk::Ref d = vk::Ref::steal(PyDict_New());
    if (!d) return nullptr;
    for (auto [size, count] : dist) {
        vk::Ref k = vk::Ref::steal(PyLong_FromUnsignedLongLong(size));
        if (!k || !vk::dict_set_steal(d.get(), k.get(), PyLong_FromUnsignedLongLong(count))) return nullptr;
    }
    return d.release();
}

PyObject* tree_reset_circuit_breaker(PyObject* o, PyObject*) {
    TreeObject* self = as_tree(o);
    if (!ready(self)) return nullptr;
    // Every section of stats_lock is pure: the genuine lock is never entered, so never held.
    vk::LockGuard guard(self->st->locks, self->stats_lock, vk::Section::Pure);
    if (!guard.ok()) return nullptr;
    self->stats.has_circuit_breaker_trips = true;
    self->stats.operation_count = 0;
    if (!guard.release()) return nullptr;
    Py_RETURN_NONE;
}

// ---- type and module ---------------------------------------------------------------------------

PyMethodDef tree_methods[] = {
    vk::def_static(kSanitizeSize, tree_sanitize_size,
                   "Return size; a negative size raises ValueError."),
    vk::def_method(kInsert, tree_insert, "Store block under size; True."),
    vk::def_method(kDelete, tree_delete,
                   "Remove the first stored block of this size equal to block; whether one was "
                   "found."),
    vk::def_method(kRemoveGe, tree_remove_ge,
                   "Remove the head block of the smallest size >= size; (size, block) or (None, "
                   "None)."),
    vk::def_method("clear", tree_clear_method, "Remove every block."),
    vk::def_method("size", tree_size, "Number of stored blocks."),
    vk::def_method(kFindBestFit, tree_find_best_fit,
                   "The head block of the smallest size >= size, or None; nothing is removed."),
    vk::def_method(kFindAllExact, tree_find_all_exact,
                   "A list of the blocks stored under exactly size, head first."),
    vk::def_method("get_stats", tree_get_stats,
                   "A dict of statistics, node count, height and sampled operations."),
    vk::def_method("get_statistics", tree_get_statistics, "An empty dict."),
    vk::def_method("get_size_distribution", tree_get_size_distribution,
                   "A dict from stored size to block count, in tree pre-order."),
    vk::def_method("reset_circuit_breaker", tree_reset_circuit_breaker,
                   "Zero the circuit-breaker statistics."),
    VK_CLASS_GETITEM,
    VK_REFUSE_PICKLING,
    {nullptr, nullptr, 0, nullptr},
};

// Immutable, so for an exact instance no overridable method can be anything but ours.
const vk::TypeDef tree_type{
    .name = "velkora.memory.block_index.FastRedBlackTree", .size = sizeof(TreeObject),
    .flags = Py_TPFLAGS_IMMUTABLETYPE,
    .doc = vk::class_doc(kInit,
                         "Free memory blocks indexed by size: a red-black tree with one "
                         "node per distinct size and same-size chains; searches do not take "
                         "the writers' lock."),
    .new_ = tree_new, .init = tree_init, .traverse = tree_traverse, .clear = tree_clear,
    .dealloc = tree_dealloc, .methods = tree_methods, .repr = tree_repr, .length = tree_len,
    .boolean = tree_bool};

ModuleState* state(PyObject* m) { return vk::state_of<ModuleState>(m); }


int module_exec(PyObject* m) {
    ModuleState* st = state(m);
    st->module = m;
    if (!st->locks.init() || !st->names.init()) return -1;
    st->sleep_delay = PyFloat_FromDouble(kRetrySleepSeconds);
    st->zero = PyLong_FromLong(0);
    if (st->sleep_delay == nullptr || st->zero == nullptr) return -1;

    if (!vk::add_type(m, tree_type, &st->tree_type)) return -1;

    if (!vk::import_module(m, "threading") || !vk::import_module(m, "time") ||
        !vk::import_module(m, "math") ||
        !vk::import_names(m, "typing", {"Dict", "List", "Optional", "Tuple", "Any"})) {
        return -1;
    }
    // The block class is used only in annotations, but its module must be there.
    if (!vk::import_names(m, "velkora.memory.block_record", {"BlockRecord"})) return -1;

    // The counters are optional: without them nothing is sampled.
    bool atomic = true;
    if (!vk::import_names(m, "velkora.memory.sync_cells", {"AtomicCounter"})) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return -1;
        PyErr_Clear();
        atomic = false;
        if (!vk::module_add(m, "AtomicCounter", Py_NewRef(Py_None))) return -1;
    }
    return vk::module_add(m, "ATOMIC_AVAILABLE", vk::boolean(atomic)) ? 0 : -1;
}

}  // namespace
}  // namespace block_index

VK_MODULE(block_index, "velkora.memory.block_index",
          "Native red-black tree of free memory blocks keyed by size.")
