#include "core/depict/hydrogens.hpp"

#include <algorithm>

namespace molvane::depict {
namespace {

// Valence electrons and period of the main-group elements the model covers;
// 0 electrons for the rest.
struct MainGroup {
    int electrons = 0;
    int period = 0;
};

MainGroup main_group(int element) noexcept {
    switch (element) {
        case 5: return {3, 2};
        case 6: return {4, 2};
        case 7: return {5, 2};
        case 8: return {6, 2};
        case 9: return {7, 2};
        case 13: return {3, 3};
        case 14: return {4, 3};
        case 15: return {5, 3};
        case 16: return {6, 3};
        case 17: return {7, 3};
        case 31: return {3, 4};
        case 32: return {4, 4};
        case 33: return {5, 4};
        case 34: return {6, 4};
        case 35: return {7, 4};
        case 49: return {3, 5};
        case 50: return {4, 5};
        case 51: return {5, 5};
        case 52: return {6, 5};
        case 53: return {7, 5};
        case 81: return {3, 6};
        case 82: return {4, 6};
        case 83: return {5, 6};
        case 84: return {6, 6};
        case 85: return {7, 6};
        default: return {};
    }
}

// The first of the valences that is at least used, or used.
template <std::size_t N>
int first_fitting(const int (&valences)[N], int used) noexcept {
    for (const int valence : valences)
        if (valence >= used) return valence;
    return used;
}

}  // namespace

int default_valence(int element, int charge, int used) noexcept {
    switch (element) {
        case 1:
        case 3:
        case 11:
        case 19:
        case 37:
        case 55:
        case 87: return charge == 0 && used <= 1 ? 1 : used;
        case 4:
        case 12:
        case 20:
        case 38:
        case 56:
        case 88:
            if (charge == 0 && used <= 2) return 2;
            if (charge == 1 && used <= 1) return 1;
            return used;
        default: break;
    }
    const MainGroup group = main_group(element);
    if (group.electrons == 0) return used;
    const int electrons = group.electrons - charge;
    static constexpr int kOne[] = {1};
    static constexpr int kTwo[] = {2};
    static constexpr int kThree[] = {3};
    static constexpr int kFour[] = {4};
    static constexpr int kFive[] = {3, 5};
    static constexpr int kSixHeavy[] = {2, 4, 6};
    static constexpr int kSevenHeavy[] = {1, 3, 5, 7};
    switch (electrons) {
        case 1: return first_fitting(kOne, used);
        case 2: return first_fitting(kTwo, used);
        case 3: return first_fitting(kThree, used);
        case 4: return first_fitting(kFour, used);
        case 5: return first_fitting(kFive, used);
        case 6:
            return group.period == 2 ? first_fitting(kTwo, used) : first_fitting(kSixHeavy, used);
        case 7:
            return group.period == 2 ? first_fitting(kOne, used) : first_fitting(kSevenHeavy, used);
        default: return used;
    }
}

std::vector<int> implicit_hydrogens(const Molecule& molecule) {
    const std::size_t n = molecule.atoms.size();
    std::vector<int> orders(n, 0);
    std::vector<int> aromatic(n, 0);
    std::vector<bool> has_double(n, false);
    for (const Bond& bond : molecule.bonds) {
        int order = 0;
        switch (bond.type) {
            case 1: order = 1; break;
            case 2: order = 2; break;
            case 3: order = 3; break;
            case 4:
                ++aromatic[bond.a];
                ++aromatic[bond.b];
                continue;
            default: order = 1; break;  // query bonds: at least single
        }
        orders[bond.a] += order;
        orders[bond.b] += order;
        if (order == 2) has_double[bond.a] = has_double[bond.b] = true;
    }
    std::vector<int> hydrogens(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const Atom& atom = molecule.atoms[i];
        if (atom.element == 0 || !atom.label.empty()) continue;
        int used = orders[i] + aromatic[i];
        used += atom.radical == 2 ? 1 : (atom.radical == 1 || atom.radical == 3 ? 2 : 0);
        if (aromatic[i] > 0 && !has_double[i] &&
            used < default_valence(atom.element, atom.charge, 0))
            ++used;  // the atom's share of the ring's double bonds
        int valence = 0;
        if (atom.valence == -1)
            valence = 0;
        else if (atom.valence > 0)
            valence = atom.valence;
        else
            valence = default_valence(atom.element, atom.charge, used);
        hydrogens[i] = std::max(0, valence - used);
    }
    return hydrogens;
}

}  // namespace molvane::depict
