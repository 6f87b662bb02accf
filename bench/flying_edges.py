"""VTK's flying edges on a sampled cube, set up as the dense peers of the benchmarks run it."""

from __future__ import annotations

import numpy as np


def flying_edges(volume: np.ndarray, h: float, origin: tuple[float, float, float]) -> tuple[np.ndarray, np.ndarray]:
    """The surface ``volume == 0`` of a cube of samples ``h`` apart from
    ``origin`` (indexed [z, y, x], VTK's image order): vertices and triangles,
    no normals, gradients or scalars computed, faces as VTK winds them."""
    from vtkmodules.util.numpy_support import numpy_to_vtk, vtk_to_numpy
    from vtkmodules.vtkCommonDataModel import vtkImageData
    from vtkmodules.vtkFiltersCore import vtkFlyingEdges3D

    image = vtkImageData()
    image.SetDimensions(*volume.shape)  # a cube: the order of the axes does not matter
    image.SetSpacing(h, h, h)
    image.SetOrigin(*origin)
    image.GetPointData().SetScalars(numpy_to_vtk(volume.reshape(-1), deep=False))
    edges = vtkFlyingEdges3D()
    edges.SetInputData(image)
    edges.SetValue(0, 0.0)
    edges.ComputeNormalsOff()
    edges.ComputeGradientsOff()
    edges.ComputeScalarsOff()
    edges.Update()
    surface = edges.GetOutput()
    vertices = vtk_to_numpy(surface.GetPoints().GetData())
    return vertices, vtk_to_numpy(surface.GetPolys().GetConnectivityArray()).reshape(-1, 3)
