// LockFreeStack: a last-in-first-out stack of objects in native linked nodes from the interpreter's
// allocator. Push, pop and is_empty are sections under the stack's lock (all pure, so a genuine lock
// is never entered); the size is an atomic counter read without it.
#pragma once

#include <atomic>
#include <cstdint>

#include "sync_cells_state.hpp"

namespace sync_cells {

struct LockFreeNode {
    PyObject* data;  // the item, one owned reference
    LockFreeNode* next;
    uint64_t version;  // 0 at creation; not read
};

struct StackObject {
    PyObject_HEAD
    LockFreeNode* head;
    int64_t size_counter;  // changed under the lock by atomic adds, read atomically without it
    PyObject* lock;
    bool genuine_lock;  // fixed at construction: the lock is never replaced
};

inline StackObject* as_stack(PyObject* o) { return reinterpret_cast<StackObject*>(o); }

inline void stack_add_size(StackObject* s, int64_t d) {
    std::atomic_ref<int64_t>(s->size_counter).fetch_add(d, std::memory_order_acq_rel);
}

constexpr auto kStackPush = vk::sig("push", "item");

inline PyObject* stack_push(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    PyObject* item = nullptr;
    if (!vk::parse(kStackPush, args, nargs, kwnames, vk::object(item))) return nullptr;
    StackObject* s = as_stack(self);
    auto* node = static_cast<LockFreeNode*>(PyMem_Malloc(sizeof(LockFreeNode)));
    if (node == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate stack node");
        return nullptr;
    }
    CellSection section(self, s->lock, s->genuine_lock);
    if (!section.ok()) {
        PyMem_Free(node);
        return nullptr;
    }
    node->data = Py_NewRef(item);
    node->version = 0;
    node->next = s->head;
    s->head = node;
    stack_add_size(s, 1);
    if (!section.release()) return nullptr;
    Py_RETURN_NONE;
}

inline PyObject* stack_pop(PyObject* self, PyObject*) {
    StackObject* s = as_stack(self);
    CellSection section(self, s->lock, s->genuine_lock);
    if (!section.ok()) return nullptr;
    LockFreeNode* node = s->head;
    if (node != nullptr) {
        s->head = node->next;
        stack_add_size(s, -1);
    }
    const bool ok = section.release();
    if (node == nullptr) return ok ? vk::none() : nullptr;
    PyObject* item = node->data;  // the node's reference goes to the caller
    PyMem_Free(node);
    if (!ok) {
        Py_DECREF(item);
        return nullptr;
    }
    return item;
}

inline PyObject* stack_is_empty(PyObject* self, PyObject*) {
    StackObject* s = as_stack(self);
    CellSection section(self, s->lock, s->genuine_lock);
    if (!section.ok()) return nullptr;
    const bool empty = s->head == nullptr;
    if (!section.release()) return nullptr;
    return vk::boolean(empty);
}

// The cheap monitoring path: one atomic load, no lock. May lag operations in flight.
inline PyObject* stack_size(PyObject* self, PyObject*) {
    return PyLong_FromLongLong(
        std::atomic_ref<int64_t>(as_stack(self)->size_counter).load(std::memory_order_seq_cst));
}

// Frees every node and drops its item, iteratively (a million items must not recurse). The list is
// detached first: an item's finalizer may push onto this stack again, and those nodes go too.
inline void stack_free_nodes(StackObject* s) {
    while (LockFreeNode* node = s->head) {
        s->head = nullptr;
        std::atomic_ref<int64_t>(s->size_counter).store(0, std::memory_order_seq_cst);
        while (node != nullptr) {
            LockFreeNode* next = node->next;
            PyObject* item = node->data;
            PyMem_Free(node);
            Py_DECREF(item);
            node = next;
        }
    }
}

inline int stack_init(PyObject*, PyObject*, PyObject*) { return 0; }  // arguments are ignored

// The items are reported, so a cycle running through one is collected.
inline int stack_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    StackObject* s = as_stack(self);
    Py_VISIT(s->lock);
    for (LockFreeNode* n = s->head; n != nullptr; n = n->next) Py_VISIT(n->data);
    return 0;
}

inline int stack_clear(PyObject* self) {
    StackObject* s = as_stack(self);
    stack_free_nodes(s);
    Py_CLEAR(s->lock);
    s->genuine_lock = true;  // nothing left to enter
    return 0;
}

inline PyMethodDef stack_methods[] = {
    vk::def_method(kStackPush, stack_push, "Put item on top (None too)."),
    vk::def_method("pop", stack_pop,
                   "Remove and return the top item; None when the stack is empty."),
    vk::def_method("is_empty", stack_is_empty, "True when the stack holds no item."),
    vk::def_method("size", stack_size, "The number of items, read atomically without the lock."),
    VK_CLASS_GETITEM,
    VK_REFUSE_PICKLING,
    {nullptr, nullptr, 0, nullptr},
};

inline const vk::TypeDef stack_type{
    .name = "velkora.memory.sync_cells.LockFreeStack", .size = sizeof(StackObject),
    .doc = "LockFreeStack(*args, **kwargs)\n--\n\n"
           "A last-in-first-out stack of objects; arguments are ignored.",
    .new_ = cell_new<StackObject>, .init = stack_init, .traverse = stack_traverse,
    .clear = stack_clear,
    // Stacks holding stacks: the trashcan bounds the recursion of a long chain
    .dealloc = vk::dealloc_gc_nested<stack_clear>,
    .methods = stack_methods};

}  // namespace sync_cells
