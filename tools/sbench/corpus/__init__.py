"""Corpora of real shaders: .shader_test files made into pairs, and the pairs a run picks."""
