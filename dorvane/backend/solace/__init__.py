"""Package of the quote subscription: the extension module `quote` (`Quote`, `contract2topic`)."""
