"""Minimal local layer of the library package quillmesh: the messaging client package (its binding is `solclient`)."""
