// AtomicPointer: a slot holding one object (or nothing) with a version that grows on every store and
// every successful compare-and-swap. Comparison is by identity. Every section under the slot's lock
// is pure, so a genuine lock is never entered; references to replaced objects are dropped after the
// section, when no other thread can reach them.
#pragma once

#include <cstdint>

#include "sync_cells_state.hpp"

namespace sync_cells {

struct PointerObject {
    PyObject_HEAD
    PyObject* ptr;  // the stored object, one owned reference; nullptr is the empty slot (None)
    uint64_t version;
    PyObject* lock;
    bool genuine_lock;  // fixed at construction: the lock is never replaced

    // The stored object is listed too, so a cycle running through it is collected.
    auto owned() { return std::tie(ptr, lock); }
};

inline PointerObject* as_pointer(PyObject* o) { return reinterpret_cast<PointerObject*>(o); }

constexpr auto kPointerInit = vk::sig("AtomicPointer", vk::arg("initial_value") = nullptr);
constexpr auto kPointerStore = vk::sig("store", "value");
constexpr auto kPointerCas = vk::sig("compare_and_swap", "expected", "new_value");

// None is never stored: the empty slot stands for it.
inline PyObject* slot_content(PyObject* value) { return value == Py_None ? nullptr : value; }

inline PyObject* pointer_load(PyObject* self, PyObject*) {
    PointerObject* p = as_pointer(self);
    CellSection section(self, p->lock, p->genuine_lock);
    if (!section.ok()) return nullptr;
    vk::Ref r = vk::Ref::borrow(p->ptr != nullptr ? p->ptr : Py_None);
    if (!section.release()) return nullptr;
    return r.release();
}

inline PyObject* pointer_store(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    PyObject* value = nullptr;
    if (!vk::parse(kPointerStore, args, nargs, kwnames, vk::object(value))) return nullptr;
    PointerObject* p = as_pointer(self);
    vk::Ref incoming = vk::Ref::borrow(slot_content(value));
    CellSection section(self, p->lock, p->genuine_lock);
    if (!section.ok()) return nullptr;
    vk::Ref old = vk::Ref::steal(p->ptr);
    p->ptr = incoming.release();
    p->version += 1;
    const bool ok = section.release();
    old.reset();  // after the lock: its finalizer may call back into this slot
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

inline PyObject* pointer_compare_and_swap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    PyObject* expected = nullptr;
    PyObject* new_value = nullptr;
    if (!vk::parse(kPointerCas, args, nargs, kwnames, vk::object(expected),
                   vk::object(new_value))) {
        return nullptr;
    }
    PointerObject* p = as_pointer(self);
    PyObject* want = slot_content(expected);
    vk::Ref incoming = vk::Ref::borrow(slot_content(new_value));
    CellSection section(self, p->lock, p->genuine_lock);
    if (!section.ok()) return nullptr;
    const bool swapped = p->ptr == want;
    vk::Ref drop;  // the replaced object on success, the unused new reference on failure
    if (swapped) {
        drop = vk::Ref::steal(p->ptr);
        p->ptr = incoming.release();
        p->version += 1;
    } else {
        drop = std::move(incoming);
    }
    const bool ok = section.release();
    drop.reset();
    if (!ok) return nullptr;
    return vk::boolean(swapped);
}

inline PyObject* pointer_get_version(PyObject* self, PyObject*) {
    PointerObject* p = as_pointer(self);
    CellSection section(self, p->lock, p->genuine_lock);
    if (!section.ok()) return nullptr;
    const uint64_t v = p->version;
    if (!section.release()) return nullptr;
    return PyLong_FromUnsignedLongLong(v);
}

inline int pointer_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* initial = nullptr;
    if (!vk::parse_tuple(kPointerInit, args, kwargs, vk::object(initial))) return -1;
    PointerObject* p = as_pointer(self);
    vk::Ref old = vk::Ref::steal(p->ptr);
    p->ptr = Py_XNewRef(slot_content(initial));  // the version starts at 0 from allocation
    return 0;
}

inline int pointer_clear(PyObject* self) {
    vk::clear_object<PointerObject>(self);
    as_pointer(self)->genuine_lock = true;  // nothing left to enter
    return 0;
}

inline PyMethodDef pointer_methods[] = {
    vk::def_method("load", pointer_load, "The stored object, or None when the slot is empty."),
    vk::def_method(kPointerStore, pointer_store,
                   "Replace the stored object (None empties the slot); the version grows by one."),
    vk::def_method(kPointerCas, pointer_compare_and_swap,
                   "Store new_value if the slot holds expected itself (identity, not equality); "
                   "True when it did."),
    vk::def_method("get_version", pointer_get_version,
                   "The number of replacements so far, modulo 2**64."),
    VK_CLASS_GETITEM,
    VK_REFUSE_PICKLING,
    {nullptr, nullptr, 0, nullptr},
};

inline const vk::TypeDef pointer_type{
    .name = "velkora.memory.sync_cells.AtomicPointer", .size = sizeof(PointerObject),
    .doc = vk::class_doc(kPointerInit,
                         "A versioned slot holding one object, replaced under a lock."),
    .new_ = cell_new<PointerObject>, .init = pointer_init,
    .traverse = vk::traverse_object<PointerObject>, .clear = pointer_clear,
    // Slots holding slots: the trashcan bounds the recursion of a long chain
    .dealloc = vk::dealloc_gc_nested<pointer_clear>,
    .methods = pointer_methods};

}  // namespace sync_cells
