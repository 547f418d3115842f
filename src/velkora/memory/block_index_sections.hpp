// FastRedBlackTree's object and module state, and the sections its methods enter: the writer
// section, delete's two sections with the release of compared blocks deferred past them, and the
// reader protocol. The locking model is described at the top of block_index.cpp, the only unit
// that includes this header.
#pragma once

#include <new>
#include <optional>
#include <vector>

#include "vkbind/vkbind.hpp"

#include "block_index_core.hpp"

namespace block_index {
using namespace core;  // the module's own pure C++, named unqualified here
namespace {

constexpr int kMaxRetries = 100;           // reader attempts per search
constexpr int kMaxDeleteRestarts = 100;    // delete comparisons repeated after re-entrant changes
constexpr double kRetrySleepSeconds = 0.0001;

// Interned names, created at exec: module globals and methods looked up at call time, then the
// statistics keys.
#define BLOCK_INDEX_NAMES(X)                                                                     \
    X(time, "time") X(sleep, "sleep") X(ATOMIC_AVAILABLE, "ATOMIC_AVAILABLE")                    \
    X(AtomicCounter, "AtomicCounter") X(increment, "increment") X(load, "load")                  \
    X(sanitize_size, "_sanitize_size") X(size, "size") X(total_blocks, "total_blocks")           \
    X(total_insertions, "total_insertions") X(total_deletions, "total_deletions")                \
    X(total_searches, "total_searches") X(bucket_hits, "bucket_hits") X(tree_hits, "tree_hits")  \
    X(operation_count, "operation_count") X(circuit_breaker_trips, "circuit_breaker_trips")      \
    X(node_count, "node_count") X(height, "height") X(sampled_operations, "sampled_operations") \
    X(is_valid, "is_valid")

VK_NAMES(BLOCK_INDEX_NAMES);

struct ModuleState {
    PyObject* module = nullptr;  // borrowed: the state lives inside it
    PyTypeObject* tree_type = nullptr;
    vk::LockSupport locks;
    Names names;
    PyObject* sleep_delay = nullptr;
    PyObject* zero = nullptr;

    auto owned() { return std::tie(tree_type, locks, names, sleep_delay, zero); }
};

// The statistics entries, kept natively; get_stats() builds the dict.
struct Stats {
    int64_t total_blocks;
    int64_t total_insertions;
    int64_t total_deletions;
    int64_t total_searches;
    int64_t operation_count;
    bool has_circuit_breaker_trips;  // "circuit_breaker_trips" is present (always 0)
};

struct TreeObject {
    PyObject_HEAD
    RBTree tree;
    SeqCounter seq;
    ModuleState* st;
    PyObject* write_lock;
    PyObject* stats_lock;
    PyObject* operation_counter;
    PyObject* sampled_counter;
    unsigned long writer_thread;  // the thread inside a writer section; 0 when none
    uint32_t sample_rate;
    bool using_atomic;
    bool exact;  // exactly FastRedBlackTree: no overridable method can differ from ours
    Stats stats;

    auto owned() { return std::tie(write_lock, operation_counter, sampled_counter, stats_lock); }
};

TreeObject* as_tree(PyObject* o) { return reinterpret_cast<TreeObject*>(o); }

// ---- small helpers -----------------------------------------------------------------------------

// The module global `name` at call time (NameError when unbound). New reference.
PyObject* global(ModuleState* st, PyObject* name) { return vk::lookup_global(st->module, name); }

// The tree's nodes and chain arrays come from the interpreter's allocator.
struct PyMemory {
    void* alloc(std::size_t n) { return PyMem_Malloc(n); }
    void* realloc(void* p, std::size_t n) { return PyMem_Realloc(p, n); }
    void free(void* p) { PyMem_Free(p); }
};
PyMemory py_memory;

// stored == block, tested for truth: 1, 0, or -1 with an exception.
int blocks_equal(PyObject* stored, PyObject* block) {
    PyObject* r = PyObject_RichCompare(stored, block, Py_EQ);
    if (r == nullptr) return -1;
    int t;
    if (r == Py_True) {
        t = 1;
    } else if (r == Py_False) {
        t = 0;
    } else {
        t = PyObject_IsTrue(r);
    }
    Py_DECREF(r);
    return t;
}

// ---- writer protocol ---------------------------------------------------------------------------

// write_lock entered, counter odd; leave() makes the counter even and leaves the lock (handing it
// the pending exception, if any). A section opened on the thread that is already inside a writer
// section (only possible from Python code run by delete's comparisons) is nested: it does not
// touch the lock and moves the counter by two, keeping it odd.
class WriteSection {
public:
    // A section that runs no Python code may skip a free genuine lock (it finishes before any other
    // thread runs). While the counter is odd a delete in another thread holds the lock and is
    // paused in a comparison, so even a pure section enters it for real, before reading the tree.
    WriteSection(TreeObject* t, bool runs_python) : t_(t) {
        const unsigned long me = PyThread_get_thread_ident();
        if (t->seq.odd() && t->writer_thread == me) {
            nested_ = true;
            t->seq.bump_nested();
            return;
        }
        const vk::Section kind =
            runs_python || t->seq.odd() ? vk::Section::Python : vk::Section::Pure;
        guard_.emplace(t->st->locks, t->write_lock, kind);
        if (!guard_->ok()) {
            guard_.reset();
            failed_ = true;
            return;
        }
        t_->writer_thread = me;
        t_->seq.begin();
    }
    WriteSection(const WriteSection&) = delete;
    WriteSection& operator=(const WriteSection&) = delete;
    ~WriteSection() {
        if (!failed_ && !left_) leave(PyErr_Occurred() != nullptr);
    }

    // True when a pure section opened now would neither wait nor run Python code: it is nested in
    // this thread's own section, or the genuine lock is not held by a paused delete (counter
    // even). Reads made before such a section opens stay valid inside it.
    static bool opens_at_once(const TreeObject* t) {
        if (t->seq.odd()) return t->writer_thread == PyThread_get_thread_ident();
        return t->st->locks.is_genuine(t->write_lock);
    }

    bool ok() const { return !failed_; }

    // False when the section failed or leaving it raised.
    bool leave(bool error) {
        left_ = true;
        if (nested_) return !error;
        // Finalizers run by instantiating the error call back into this tree: while the section is
        // still open they are nested writes, after it they would wait for the lock this thread holds.
        if (error) vk::normalize_pending_error();
        t_->seq.end();
        t_->writer_thread = 0;
        if (error || !guard_) {
            guard_.reset();  // passes the exception to __exit__
            return false;
        }
        const bool ok = guard_->release();
        guard_.reset();
        return ok;
    }

private:
    TreeObject* t_;
    std::optional<vk::LockGuard> guard_;
    bool nested_ = false;
    bool failed_ = false;
    bool left_ = false;
};

// ---- delete's sections -------------------------------------------------------------------------

// References to drop once delete has left its section. Used only when the tree changed under a
// comparison, so the tree may no longer hold a compared block.
class Deferred {
public:
    ~Deferred() {
        for (PyObject* o : objs_) Py_DECREF(o);
    }
    void add(PyObject* o) {
        try {
            objs_.push_back(o);
        } catch (const std::bad_alloc&) {
            Py_DECREF(o);  // nothing better to do with it; the tree is consistent here
        }
    }

private:
    std::vector<PyObject*> objs_;
};

// Blocks whose types keep object's default comparison are equal exactly when identical, and
// comparing them runs no Python code.
bool compares_by_identity(PyObject* o) {
    return Py_TYPE(o)->tp_richcompare == PyBaseObject_Type.tp_richcompare;
}

enum class Outcome { Removed, Missing, NeedsComparison, Error };

// Takes the block at chain position p out of the tree (inside a writer section); the tree's
// reference, to be dropped after the section.
vk::Ref unlink_at(TreeObject* self, RBNode* node, uint64_t p) {
    void* out = p == 0 ? self->tree.take_head(node, py_memory)
                       : self->tree.take_at(node, p, py_memory);
    --self->stats.total_blocks;
    ++self->stats.total_deletions;
    return vk::Ref::steal(static_cast<PyObject*>(out));
}

// delete for a block that compares by identity, while the chain holds only such blocks: a pure
// section. Called only when WriteSection::opens_at_once(self), so the scan made before the section
// opens is still what the section sees. Gives up, having changed nothing, at the first block with
// its own __eq__: the caller then starts again under the lock.
Outcome delete_by_identity(TreeObject* self, uint64_t key, PyObject* block, vk::Ref& removed) {
    RBNode* node = self->tree.find_node(key);
    const uint64_t len = node != nullptr ? node->chain_length() : 0;
    // The scan reads each member's type: start those loads together.
    for (uint64_t i = 0; i < len && i < 16; ++i) __builtin_prefetch(node->chain_at(i));
    uint64_t p = 0;
    for (; p < len; ++p) {
        PyObject* stored = static_cast<PyObject*>(node->chain_at(p));
        if (stored == block) break;
        if (!compares_by_identity(stored)) return Outcome::NeedsComparison;
    }
    WriteSection ws(self, false);
    if (!ws.ok()) return Outcome::Error;
    if (p < len) removed = unlink_at(self, node, p);
    if (!ws.leave(false)) return Outcome::Error;
    return removed ? Outcome::Removed : Outcome::Missing;
}

// delete with rich comparisons, under write_lock held for real from before the tree is read.
// Code a comparison runs may change the tree through this thread (a nested write); the walk then
// starts again from the head of the chain. `deferred` receives compared blocks that the tree may
// no longer hold; they are dropped after the section.
Outcome delete_compared(TreeObject* self, uint64_t key, PyObject* block, vk::Ref& removed,
                        Deferred& deferred) {
    const bool by_identity = compares_by_identity(block);
    bool error = false;
    WriteSection ws(self, true);
    if (!ws.ok()) return Outcome::Error;
    RBNode* node = self->tree.find_node(key);
    uint64_t p = 0;  // chain position being compared
    uint64_t len = node != nullptr ? node->chain_length() : 0;
    for (int restarts = 0; p < len; ++restarts) {
        if (restarts > kMaxDeleteRestarts) {
            PyErr_SetString(PyExc_RuntimeError, "FastRedBlackTree changed during delete");
            error = true;
            break;
        }
        const uint64_t seq = self->seq.load();
        bool changed = false;
        for (; p < len; ++p) {
            PyObject* stored = static_cast<PyObject*>(node->chain_at(p));
            int eq;
            if (by_identity && compares_by_identity(stored)) {
                if (stored != block) continue;
                eq = 1;
            } else {
                Py_INCREF(stored);  // the comparison may run code that removes it from the tree
                eq = blocks_equal(stored, block);
                if (self->seq.load() != seq) {
                    deferred.add(stored);
                    changed = true;
                } else {
                    Py_DECREF(stored);  // the tree still holds it: never the last reference
                }
                if (eq < 0) {
                    error = true;
                    break;
                }
                if (changed) break;
            }
            if (eq == 1) {
                removed = unlink_at(self, node, p);
                break;
            }
        }
        if (!changed || error) break;
        node = self->tree.find_node(key);
        p = 0;
        len = node != nullptr ? node->chain_length() : 0;
    }
    if (!ws.leave(error)) return Outcome::Error;
    return removed ? Outcome::Removed : Outcome::Missing;
}

// ---- reader protocol ---------------------------------------------------------------------------

// Up to kMaxRetries attempts; after one that found the counter odd, time.sleep(0.0001) through the
// module global `time`. attempt(start) runs with the interpreter lock held and returns 1 when it
// produced the result, 0 when the snapshot was not consistent, -1 on error. Returns the same, 0
// when every attempt failed. On the writer's own thread (code run by delete's comparisons) the
// tree is consistent although the counter is odd, so the search runs at once.
template <class Attempt>
int read_protocol(TreeObject* self, Attempt&& attempt) {
    for (int i = 0; i < kMaxRetries; ++i) {
        const uint64_t start = self->seq.read_begin();
        if ((start & 1u) != 0 && self->writer_thread != PyThread_get_thread_ident()) {
            ModuleState* st = self->st;
            vk::Ref time = vk::Ref::steal(global(st, st->names[s_time]));
            if (!time) return -1;
            vk::Ref r = vk::Ref::steal(vk::call_method(time.get(), st->names[s_sleep], st->sleep_delay));
            if (!r) return -1;
            continue;
        }
        const int r = attempt(start);
        if (r != 0) return r;
    }
    return 0;
}

}  // namespace
}  // namespace block_index
