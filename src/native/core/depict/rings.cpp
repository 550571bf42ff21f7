#include "core/depict/rings.hpp"

#include <cstddef>

namespace molvane::depict {
namespace {

constexpr std::size_t kUnseen = static_cast<std::size_t>(-1);

}  // namespace

std::vector<std::optional<Point>> ring_centres(const Molecule& molecule,
                                               const std::vector<Point>& positions) {
    const std::size_t n = molecule.atoms.size();
    std::vector<std::optional<Point>> centres(molecule.bonds.size());
    // Neighbour lists in one array: neighbours of atom i at [start[i], start[i + 1]).
    std::vector<std::size_t> start(n + 1, 0);
    for (const Bond& bond : molecule.bonds)
        ++start[bond.a + 1], ++start[bond.b + 1];
    for (std::size_t i = 0; i < n; ++i)
        start[i + 1] += start[i];
    std::vector<std::size_t> neighbours(start[n]);
    std::vector<std::size_t> bond_of(start[n]);
    {
        std::vector<std::size_t> fill(start.begin(), start.end() - 1);
        for (std::size_t k = 0; k < molecule.bonds.size(); ++k) {
            const Bond& bond = molecule.bonds[k];
            neighbours[fill[bond.a]] = bond.b, bond_of[fill[bond.a]++] = k;
            neighbours[fill[bond.b]] = bond.a, bond_of[fill[bond.b]++] = k;
        }
    }
    std::vector<std::size_t> parent(n, kUnseen);
    std::vector<std::size_t> depth(n, 0);
    std::vector<std::size_t> queue;
    std::vector<std::size_t> touched;
    for (std::size_t k = 0; k < molecule.bonds.size(); ++k) {
        const Bond& bond = molecule.bonds[k];
        if (bond.type != 2 && bond.type != 4) continue;
        // Breadth-first from a to b without the bond itself: the shortest
        // other path closes the smallest ring.
        queue.assign(1, bond.a);
        touched.assign(1, bond.a);
        parent[bond.a] = bond.a;
        bool found = false;
        for (std::size_t head = 0; head < queue.size() && !found; ++head) {
            const std::size_t atom = queue[head];
            if (depth[atom] + 1 >= kLargestRing) break;
            for (std::size_t e = start[atom]; e < start[atom + 1]; ++e) {
                const std::size_t next = neighbours[e];
                if (bond_of[e] == k || parent[next] != kUnseen) continue;
                parent[next] = atom;
                depth[next] = depth[atom] + 1;
                touched.push_back(next);
                queue.push_back(next);
                if (next == bond.b) {
                    found = true;
                    break;
                }
            }
        }
        if (found) {
            Point sum;
            std::size_t count = 0;
            for (std::size_t atom = bond.b;; atom = parent[atom]) {
                sum.x += positions[atom].x, sum.y += positions[atom].y, ++count;
                if (atom == bond.a) break;
            }
            centres[k] =
                Point{sum.x / static_cast<double>(count), sum.y / static_cast<double>(count)};
        }
        for (const std::size_t atom : touched)
            parent[atom] = kUnseen, depth[atom] = 0;
    }
    return centres;
}

}  // namespace molvane::depict
