// Load and unload hooks of libprtlink.so.
