// The shared platform library: the rooms are linked in whole, so every API
// function of platform/include is exported from this one library.
