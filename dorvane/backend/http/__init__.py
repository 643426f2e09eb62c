"""Minimal local layer of the library package dorvane.backend.http: the HTTP side of the back end."""
