"""Minimal local layer of the library package dorvane.backend.solace: the quote subscription package (its extension module `quote` holds `Quote` and `contract2topic`)."""
