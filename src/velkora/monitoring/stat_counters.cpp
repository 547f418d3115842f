// velkora.monitoring.stat_counters: a native array of running statistics addressed by identifier.
#include "vkbind/vkbind.hpp"

#include "stat_counters_core.hpp"

namespace stat_counters {
using namespace core;  // the module's own pure C++, named unqualified here
extern PyModuleDef module_def;  // defined at the end, by VK_MODULE
namespace {

// Interned names, created at exec: the method looked up on subclasses, then the result keys in
// result order.
#define STAT_COUNTERS_NAMES(X)                                                                \
    X(get_stats, "get_stats") X(count, "count") X(mean, "mean") X(variance, "variance")       \
    X(std, "std") X(min, "min") X(max, "max")

VK_NAMES(STAT_COUNTERS_NAMES);

struct ModuleState {
    PyTypeObject* CounterAggregator = nullptr;
    vk::LockSupport locks;
    Names names;
    PyObject* default_count = nullptr;  // create_aggregator's declared num_counters
    PyObject* zero_stats = nullptr;     // the empty series' dict, which results are copied from

    auto owned() { return std::tie(CounterAggregator, locks, names, default_count, zero_stats); }
};

ModuleState* state(PyObject* module) { return vk::state_of<ModuleState>(module); }

struct Aggregator {
    PyObject_HEAD
    RecordBlock block;  // owned; records nullptr until initialised
    int32_t num_counters;
    PyObject* lock;     // threading.Lock

    auto owned() { return std::tie(lock); }
};

Aggregator* as_agg(PyObject* self) { return reinterpret_cast<Aggregator*>(self); }

// Every section of an aggregator's lock is pure (results are built and overrides called outside
// it), so a genuine lock is never entered; any other lock sees every call (vk::LockGuard keeps it
// alive, in case its __enter__ re-initialises the aggregator and replaces it).
// The identifier check, before any lock.
bool check_id(const Aggregator* self, int32_t id) {
    if (id >= 0 && id < self->num_counters) return true;
    PyErr_Format(PyExc_IndexError, "Counter ID %d out of range", static_cast<int>(id));
    return false;
}

// ---- construction -------------------------------------------------------------------------------

constexpr auto kInit = vk::sig("CounterAggregator", vk::arg("num_counters") = 1000);

int agg_init(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
    int32_t n;
    if (!vk::parse_tuple(kInit, args, kwargs, vk::i32(n))) return -1;
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self_obj), &module_def);
    if (module == nullptr) return -1;
    const ModuleState* st = state(module);

    RecordBlock block;
    if (!allocate_records(n, block)) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate counter storage");
        return -1;
    }
    // The module global, looked up now: a replaced `threading` supplies the lock.
    bool genuine = false;
    vk::Ref lock = vk::Ref::steal(st->locks.new_lock(module, genuine));
    if (!lock) {
        free_records(block);
        return -1;
    }
    // Calling __init__ again starts afresh: the new block and lock replace the old ones.
    Aggregator* self = as_agg(self_obj);
    RecordBlock old_block = self->block;
    PyObject* old_lock = self->lock;
    self->block = block;
    self->num_counters = n;
    self->lock = lock.release();
    free_records(old_block);
    Py_XDECREF(old_lock);
    return 0;
}

// Everything an aggregator owns, at deallocation: its records, then its lock.
int agg_release(PyObject* self_obj) {
    Aggregator* self = as_agg(self_obj);
    free_records(self->block);
    self->num_counters = 0;
    Py_CLEAR(self->lock);
    return 0;
}

// ---- operations ---------------------------------------------------------------------------------

constexpr auto kUpdate = vk::sig("update", "counter_id", "value");
constexpr auto kGetStats = vk::sig("get_stats", "counter_id");
constexpr auto kReset = vk::sig("reset", "counter_id");

PyObject* stats_dict(const ModuleState* st, const Stats& s) {
    vk::Ref d = vk::Ref::steal(PyDict_Copy(st->zero_stats));
    if (!d || s.count == 0) return d.release();
    PyObject* values[6] = {PyLong_FromUnsignedLongLong(s.count), PyFloat_FromDouble(s.mean),
                           PyFloat_FromDouble(s.variance), PyFloat_FromDouble(s.std),
                           PyFloat_FromDouble(s.min), PyFloat_FromDouble(s.max)};
    bool ok = true;
    for (int i = 0; i < 6; ++i) {
        // Replacing the copied entries keeps the key order and never resizes.
        ok = ok && values[i] != nullptr && PyDict_SetItem(d.get(), st->names[s_count + i], values[i]) == 0;
        Py_XDECREF(values[i]);
    }
    return ok ? d.release() : nullptr;
}

// get_stats for an identifier already checked: the figures under the lock, the dict after it.
PyObject* native_get_stats(const ModuleState* st, Aggregator* self, int32_t id) {
    vk::LockGuard section(st->locks, self->lock, vk::Section::Pure);
    if (!section.ok()) return nullptr;
    // Read after entering: a lock that ran Python code may have seen the object re-initialised.
    const bool valid = id < self->num_counters;
    const Stats s = valid ? record_stats(self->block.records[id]) : record_stats(AtomicCounter{});
    if (!section.release()) return nullptr;
    return stats_dict(st, s);
}

PyObject* agg_update(PyObject* self_obj, PyTypeObject* cls, PyObject* const* args, size_t nargsf,
                     PyObject* kwnames) {
    int32_t id = 0;
    double value = 0.0;
    if (!vk::parse(kUpdate, args, PyVectorcall_NARGS(nargsf), kwnames, vk::i32(id),
                   vk::f64(value))) {
        return nullptr;
    }
    Aggregator* self = as_agg(self_obj);
    if (!check_id(self, id)) return nullptr;
    vk::LockGuard section(vk::state_of_type<ModuleState>(cls)->locks, self->lock,
                          vk::Section::Pure);
    if (!section.ok()) return nullptr;
    if (id < self->num_counters) record_update(self->block.records[id], value);
    if (!section.release()) return nullptr;
    Py_RETURN_NONE;
}

PyObject* agg_get_stats(PyObject* self_obj, PyTypeObject* cls, PyObject* const* args,
                        size_t nargsf, PyObject* kwnames) {
    int32_t id = 0;
    if (!vk::parse(kGetStats, args, PyVectorcall_NARGS(nargsf), kwnames, vk::i32(id))) {
        return nullptr;
    }
    Aggregator* self = as_agg(self_obj);
    if (!check_id(self, id)) return nullptr;
    return native_get_stats(vk::state_of_type<ModuleState>(cls), self, id);
}

PyObject* agg_reset(PyObject* self_obj, PyTypeObject* cls, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames) {
    int32_t id = 0;
    if (!vk::parse(kReset, args, PyVectorcall_NARGS(nargsf), kwnames, vk::i32(id))) return nullptr;
    Aggregator* self = as_agg(self_obj);
    if (!check_id(self, id)) return nullptr;
    vk::LockGuard section(vk::state_of_type<ModuleState>(cls)->locks, self->lock,
                          vk::Section::Pure);
    if (!section.ok()) return nullptr;
    if (id < self->num_counters) record_reset(self->block.records[id]);
    if (!section.release()) return nullptr;
    Py_RETURN_NONE;
}

// State of the module from an instance, possibly of a subclass (no defining class at hand).
const ModuleState* state_of_instance(PyObject* self) {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &module_def);
    return module == nullptr ? nullptr : state(module);
}

PyObject* agg_reset_all(PyObject* self_obj, PyObject*) {
    const ModuleState* st = state_of_instance(self_obj);
    if (st == nullptr) return nullptr;
    Aggregator* self = as_agg(self_obj);
    vk::LockGuard section(st->locks, self->lock, vk::Section::Pure);
    if (!section.ok()) return nullptr;
    reset_records(self->block, self->num_counters);
    if (!section.release()) return nullptr;
    Py_RETURN_NONE;
}

PyObject* agg_get_all_stats(PyObject* self_obj, PyObject*) {
    const ModuleState* st = state_of_instance(self_obj);
    if (st == nullptr) return nullptr;
    Aggregator* self = as_agg(self_obj);
    // The exact type can only reach our own get_stats; a subclass may override it.
    const bool exact = Py_IS_TYPE(self_obj, st->CounterAggregator);
    vk::Ref result = vk::Ref::steal(PyList_New(0));
    if (!result) return nullptr;
    // The fields are read afresh on every step: an override, a lock or a finalizer run between
    // steps may reset or re-initialise the object.
    for (int32_t i = 0; i < self->num_counters; ++i) {
        if (self->block.records[i].count == 0) continue;  // selection without the lock
        vk::Ref id = vk::Ref::steal(PyLong_FromLong(i));
        if (!id) return nullptr;
        vk::Ref stats;
        if (exact) {
            stats = vk::Ref::steal(native_get_stats(st, self, i));
        } else {
            PyObject* argv[2] = {self_obj, id.get()};
            stats = vk::Ref::steal(PyObject_VectorcallMethod(
                st->names[s_get_stats], argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        }
        if (!stats) return nullptr;
        PyObject* pair = PyTuple_Pack(2, id.get(), stats.get());
        if (pair == nullptr) return nullptr;
        const int rc = PyList_Append(result.get(), pair);
        Py_DECREF(pair);
        if (rc < 0) return nullptr;
    }
    return result.release();
}

PyMethodDef agg_methods[] = {
    vk::def_method(kUpdate, agg_update, "Feed one value to the series."),
    vk::def_method(kGetStats, agg_get_stats,
                   "Dict of count, mean, variance, std, min and max of the series."),
    vk::def_method(kReset, agg_reset, "Empty the series."),
    vk::def_method("reset_all", agg_reset_all, "Empty every series."),
    vk::def_method("get_all_stats", agg_get_all_stats,
                   "[(counter_id, get_stats(counter_id))] for every fed series, in identifier "
                   "order."),
    VK_REFUSE_PICKLING,
    {nullptr, nullptr, 0, nullptr},
};

const vk::TypeDef agg_type{
    .name = "velkora.monitoring.stat_counters.CounterAggregator", .size = sizeof(Aggregator),
    .doc = vk::class_doc(kInit, "Running statistics for series 0 .. num_counters - 1."),
    .init = agg_init, .traverse = vk::traverse_object<Aggregator>,
    .clear = vk::clear_object<Aggregator>,
    // The lock comes from a replaceable `threading` and may be another aggregator: the trashcan
    // bounds the recursion of a long chain
    .dealloc = vk::dealloc_gc_nested<agg_release>,
    .methods = agg_methods};

// ---- module -------------------------------------------------------------------------------------

constexpr auto kCreate = vk::sig("create_aggregator", vk::arg("num_counters") = 1000);

PyObject* create_aggregator(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    const ModuleState* st = state(module);
    PyObject* n = st->default_count;
    if (!vk::parse(kCreate, args, nargs, kwnames, vk::object(n))) return nullptr;
    return PyObject_CallOneArg(reinterpret_cast<PyObject*>(st->CounterAggregator), n);
}

PyMethodDef module_functions[] = {
    vk::def_function(kCreate, create_aggregator, "CounterAggregator(num_counters)."),
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* m) {
    ModuleState* st = state(m);
    if (!st->locks.init() || !st->names.init()) return -1;
    st->default_count = vk::default_object(kCreate.defaults[0]);
    if (!st->default_count) return -1;

    const Stats zero = record_stats(AtomicCounter{});
    const double values[6] = {0.0, zero.mean, zero.variance, zero.std, zero.min, zero.max};
    st->zero_stats = PyDict_New();
    if (st->zero_stats == nullptr) return -1;
    for (int i = 0; i < 6; ++i) {
        vk::Ref v = vk::Ref::steal(i == 0 ? PyLong_FromLong(0) : PyFloat_FromDouble(values[i]));
        if (!v || PyDict_SetItem(st->zero_stats, st->names[s_count + i], v.get()) < 0) {
            return -1;
        }
    }

    if (!vk::import_module(m, "threading")) return -1;
    if (!vk::add_type(m, agg_type, &st->CounterAggregator)) return -1;
    return PyModule_AddFunctions(m, module_functions);
}

}  // namespace
}  // namespace stat_counters

VK_MODULE(stat_counters, "velkora.monitoring.stat_counters",
          "Running statistics for numbered monitoring counters.")
