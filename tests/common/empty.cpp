// Keeps test_common a valid library while it has no sources of its own.
