"""Meshing: ``quarvel.mesh``, from a field to a :class:`quarvel.Mesh`, and how fields are called."""
