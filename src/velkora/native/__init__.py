"""velkora.native subpackage."""
