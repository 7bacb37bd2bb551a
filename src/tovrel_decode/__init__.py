"""tovrel-decode: score files in, reads out."""
