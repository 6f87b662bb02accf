"""Shapes: signed-distance primitives, Booleans, transforms and deformations, compiled to programs."""
