"""velkora: native core of a Python performance framework."""

__version__ = "0.1.0"

# The native extension modules, by dotted name.
NATIVE_MODULES = (
    "velkora.memory.sync_cells",
    "velkora.memory.pool_paths",
    "velkora.memory.block_index",
    "velkora.memory.arena_heap",
    "velkora.jit.compile_gate",
    "velkora.jit.dispatch",
    "velkora.native.host_probe",
    "velkora.plugins.analyzer.code_scoring",
    "velkora.gpu.device_memplan",
    "velkora.plugins.analyzer.pool_adaptation",
    "velkora.monitoring.stat_counters",
    "velkora.monitoring.call_trace",
)
