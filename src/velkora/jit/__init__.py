"""velkora.jit subpackage."""
