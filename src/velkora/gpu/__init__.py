"""velkora.gpu subpackage."""
