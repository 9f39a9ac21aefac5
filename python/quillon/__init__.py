"""quillon: vision toolkit."""
