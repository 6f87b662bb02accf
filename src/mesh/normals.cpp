#include "mesh/normals.hpp"

#include <algorithm>
#include <vector>

#include "core/fault.hpp"
#include "core/parallel.hpp"

namespace quarvel {
namespace {

// Triangle t's normal scaled by twice its area.
Vec3 face_of(const TriangleMesh& mesh, std::size_t t) {
    const auto& [i, j, k] = mesh.triangles[t];
    const Vec3& a = mesh.vertices[i];
    return cross(sub(mesh.vertices[j], a), sub(mesh.vertices[k], a));
}

// Calls corner(v, face) for every corner of every triangle, with the
// triangle's normal scaled by twice its area.
template <class Corner>
void for_each_corner(const TriangleMesh& mesh, Monitor& monitor, Corner&& corner) {
    for (std::size_t t = 0; t < mesh.triangles.size(); ++t) {
        monitor.check(t);
        const Vec3 face = face_of(mesh, t);
        for (std::uint64_t v : mesh.triangles[t]) corner(v, face);
    }
}

}  // namespace

std::uint64_t agree_normals_with_faces(TriangleMesh& mesh, Monitor& monitor) {
    if (mesh.normals.size() != mesh.vertices.size())
        fault("agree_normals_with_faces: " + std::to_string(mesh.normals.size()) + " normals for " +
              std::to_string(mesh.vertices.size()) + " vertices");
    // Per corner, on the pool: does its triangle agree with the vertex's normal.
    const std::vector<std::uint8_t> corner_agrees =
        parallel_map<std::uint8_t>(mesh.triangles.size(), [&](std::size_t t) {
            const Vec3 face = face_of(mesh, t);
            unsigned bits = 0;
            for (unsigned c = 0; c < 3; ++c) bits |= unsigned{dot(face, mesh.normals[mesh.triangles[t][c]]) >= 0.0} << c;
            return static_cast<std::uint8_t>(bits);
        });
    // Per vertex: 1 where a triangle around it agrees, 2 where one is around it.
    std::vector<std::uint8_t> seen(mesh.vertices.size(), 0);
    for (std::size_t t = 0; t < mesh.triangles.size(); ++t) {
        monitor.check(t);
        for (unsigned c = 0; c < 3; ++c)
            seen[mesh.triangles[t][c]] |= static_cast<std::uint8_t>(2u | ((corner_agrees[t] >> c) & 1u));
    }
    // Only vertices that no triangle agrees with need their faces summed: few, or none.
    if (std::find(seen.begin(), seen.end(), std::uint8_t{2}) == seen.end()) return 0;
    std::vector<Vec3> sum(mesh.vertices.size(), Vec3{0, 0, 0});
    for_each_corner(mesh, monitor, [&](std::uint64_t v, const Vec3& face) {
        if (seen[v] != 2) return;
        for (int c = 0; c < 3; ++c) sum[v][c] += face[c];
    });
    std::uint64_t replaced = 0;
    for (std::size_t v = 0; v < mesh.vertices.size(); ++v) {
        if (seen[v] != 2) continue;
        const double n = length(sum[v]);
        if (!(n > 0.0) || !std::isfinite(n)) continue;  // a degenerate fan: keep the field's
        mesh.normals[v] = {sum[v][0] / n, sum[v][1] / n, sum[v][2] / n};
        ++replaced;
    }
    return replaced;
}

std::vector<Vec3> face_normals(const TriangleMesh& mesh, Monitor& monitor) {
    std::vector<Vec3> sum(mesh.vertices.size(), Vec3{0, 0, 0});
    for_each_corner(mesh, monitor, [&](std::uint64_t v, const Vec3& face) {
        for (int c = 0; c < 3; ++c) sum[v][c] += face[c];
    });
    for (Vec3& n : sum) {
        const double len = length(n);
        n = len > 0.0 && std::isfinite(len) ? Vec3{n[0] / len, n[1] / len, n[2] / len} : Vec3{0.0, 0.0, 1.0};
    }
    return sum;
}

}  // namespace quarvel
