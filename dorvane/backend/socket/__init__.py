"""Minimal local layer of the library package dorvane.backend.socket: the socket back end."""
