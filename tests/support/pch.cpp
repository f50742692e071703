// The translation unit that builds the test targets' shared precompiled header.
