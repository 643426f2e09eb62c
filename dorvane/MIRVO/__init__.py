"""Minimal local layer of the library package dorvane.MIRVO: the folder of the signing module vexa, its cError.h and its P7B chain files."""
