"""Files and pictures: PLY, OBJ and STL reading and writing, and previews."""
