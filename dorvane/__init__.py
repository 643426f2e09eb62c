"""Minimal local layer of the library package dorvane: the package root of the client library."""
