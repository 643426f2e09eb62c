"""Minimal local layer of the library package dorvane.backend: the back-end package."""
