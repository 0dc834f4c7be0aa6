// The translation unit that holds the tests' precompiled headers.
