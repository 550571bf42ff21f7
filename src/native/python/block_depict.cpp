// The drawing of SDBlock: svg(), _repr_svg_() and _repr_html_(). The drawing
// is core's (core/depict); this file checks the options and converts.
#include <Python.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/depict/block_html.hpp"
#include "core/depict/depict.hpp"
#include "core/depict/hydrogens.hpp"
#include "core/depict/molecule.hpp"
#include "python/arguments.hpp"
#include "python/block.hpp"
#include "python/block_members.hpp"
#include "python/errors.hpp"
#include "python/list.hpp"
#include "python/method_def.hpp"

namespace molvane::py {

namespace {

// Canvas sizes above this many pixels are refused: a typo, not a drawing.
constexpr double kLargestSide = 100000;

double size_argument(const char* name, PyObject* value, bool allow_zero) {
    if (PyBool_Check(value) || !(PyLong_Check(value) || PyFloat_Check(value))) {
        const std::string format =
            std::string("svg() ") + name + " must be an int or float, not %U";
        raise_wrong_type(format.c_str(), value);
    }
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) throw PythonError{};
    const bool fits = allow_zero ? number >= 0 : number > 0;
    if (!std::isfinite(number) || !fits || number > kLargestSide) {
        PyErr_Format(PyExc_ValueError, "svg() %s must be %s and at most %d, not %R", name,
                     allow_zero ? "at least 0" : "greater than 0", static_cast<int>(kLargestSide),
                     value);
        throw PythonError{};
    }
    return number;
}

struct DepictArguments {
    depict::Options options;
    std::string background;
};

void parse_depict_arguments(PyObject* args, PyObject* kwargs, DepictArguments& parsed) {
    static const char* keywords[] = {"width", "height", "padding", "background", nullptr};
    PyObject* width = nullptr;
    PyObject* height = nullptr;
    PyObject* padding = Py_None;
    PyObject* background = nullptr;
    parse_arguments(args, kwargs, "|OO$OO:svg", keywords, &width, &height, &padding, &background);
    if (width) parsed.options.width = size_argument("width", width, false);
    if (height) parsed.options.height = size_argument("height", height, false);
    if (padding != Py_None) parsed.options.padding = size_argument("padding", padding, true);
    if (background) {
        if (background == Py_None) {
            parsed.options.background = {};
        } else if (PyUnicode_Check(background)) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(background, &size);
            if (!text) throw PythonError{};
            parsed.background.assign(text, static_cast<std::size_t>(size));
            parsed.options.background = parsed.background;
        } else {
            raise_wrong_type("svg() background must be str or None, not %U", background);
        }
    }
}

PyObject* new_text(const std::string& text) {
    // Core writes valid UTF-8 only: table text that is not is replaced.
    return Ref::check(
               PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"))
        .release();
}

depict::TextBytes text_bytes(const core::Block& block) {
    return block.is_bytes ? depict::TextBytes::Latin1 : depict::TextBytes::Utf8;
}

PyObject* block_svg(PyObject* self, PyObject* args, PyObject* kwargs) {
    return with_shared<BlockObject>(self, [&](BlockObject& object) {
        DepictArguments parsed;
        parse_depict_arguments(args, kwargs, parsed);
        return new_text(
            depict::depict_svg(object.block.mdl(), text_bytes(object.block), parsed.options));
    });
}

PyObject* block_repr_svg(PyObject* self, PyObject*) {
    return with_shared<BlockObject>(self, [&](BlockObject& object) {
        return new_text(
            depict::depict_svg(object.block.mdl(), text_bytes(object.block), depict::Options{}));
    });
}

PyObject* block_repr_html(PyObject* self, PyObject*) {
    return with_shared<BlockObject>(self, [&](BlockObject& object) {
        return new_text(depict::block_html(object.block, depict::Options{}));
    });
}

PyObject* block_implicit_hydrogens(PyObject* self, PyObject*) {
    return with_shared<BlockObject>(self, [&](BlockObject& object) {
        const depict::MoleculeReading reading = depict::read_molecule(object.block.mdl());
        // Without coordinates the atoms and bonds are still there to count.
        if (reading.problem == depict::kNoCtab || reading.problem == depict::kUnreadableCtab) {
            raise(PyExc_ValueError, "cannot count the implicit hydrogens of a block with " +
                                        std::string(reading.problem == depict::kNoCtab
                                                        ? "no connection table"
                                                        : "an unreadable connection table"));
        }
        const std::vector<int> counts = depict::implicit_hydrogens(reading.molecule);
        Ref list = new_list(counts.size(),
                            [&](std::size_t i) { return Ref::check(PyLong_FromLong(counts[i])); });
        return list.release();
    });
}

constexpr const char kSvgDoc[] =
    "svg($self, /, width=300, height=200, *, padding=None, background='#FFFFFF')\n--\n\n"
    "Draw the block's structure as a complete SVG document.\n\n"
    "The drawing uses the connection table's own 2D coordinates (3D ones\n"
    "are projected on x and y), scaled so bonds have one length and fitted\n"
    "into `width` by `height` pixels, `padding` pixels from the edges (by\n"
    "default room for the labels). Carbons are drawn unlabelled except\n"
    "terminal, isolated and charged ones; other atoms show their symbol,\n"
    "implicit hydrogens (the MDL valence model), charge, isotope and\n"
    "radical; query atoms, lists and aliases are shown as written.\n"
    "`background` is the fill colour, or None for a transparent canvas.\n\n"
    "A block without a connection table, without atoms or without\n"
    "coordinates gets a small placeholder drawing naming why; nothing in\n"
    "the block's bytes makes this raise. The same block and options always\n"
    "give the same text, for str and bytes blocks alike.\n\n"
    "Raises:\n"
    "    TypeError: if a size is not an int or float, or background is not\n"
    "        str or None.\n"
    "    ValueError: if a size is not finite, not positive (padding: negative)\n"
    "        or above 100000.";

constexpr const char kReprSvgDoc[] =
    "_repr_svg_($self)\n--\n\n"
    "The drawing of `svg()` with its defaults, for Jupyter.";

constexpr const char kReprHtmlDoc[] =
    "_repr_html_($self)\n--\n\n"
    "The drawing beside a table of the title and records, for Jupyter.";

constexpr const char kImplicitHydrogensDoc[] =
    "implicit_hydrogens($self)\n--\n\n"
    "The implicit hydrogen count of each atom, in the table's atom order.\n\n"
    "These are the hydrogens `svg()` shows, by the MDL valence model:\n"
    "default valences per element, shifted by charge, less the valence the\n"
    "bonds and radicals use; the atom block's valence field overrides them.\n"
    "Query and pseudo atoms, metals and aliased atoms have none.\n\n"
    "Raises:\n"
    "    ValueError: if the block has no connection table, or its counts\n"
    "        line or atom and bond lines cannot be read.";

const PyMethodDef kMethods[] = {
    {"implicit_hydrogens", block_implicit_hydrogens, METH_NOARGS, kImplicitHydrogensDoc},
    {"svg", keywords_method(block_svg), METH_VARARGS | METH_KEYWORDS, kSvgDoc},
    {"_repr_svg_", block_repr_svg, METH_NOARGS, kReprSvgDoc},
    {"_repr_html_", block_repr_html, METH_NOARGS, kReprHtmlDoc},
};

}  // namespace

const BlockMembers kDepictMembers = {kMethods, {}, {}};

}  // namespace molvane::py
