"""Minimal local layer of the library package dorvane.backend.http.futureoption: the futures and options side of the HTTP back end."""
