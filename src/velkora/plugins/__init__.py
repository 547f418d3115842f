"""velkora.plugins subpackage."""
