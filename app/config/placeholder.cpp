// Removed once the first config source lands.
