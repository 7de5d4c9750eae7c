// Keeps a library that has only headers so far linkable.
