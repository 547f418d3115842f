"""velkora.memory subpackage."""
