"""velkora.monitoring subpackage."""
