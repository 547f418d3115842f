"""velkora.plugins.analyzer subpackage."""
