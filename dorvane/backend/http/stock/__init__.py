"""Minimal local layer of the library package dorvane.backend.http.stock: the stock side of the HTTP back end."""
