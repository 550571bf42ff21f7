// Text arguments: the bytes of a str or bytes argument, and the check that an
// argument has its block's type (str for text blocks, bytes for byte-backed
// ones).
#pragma once

#include <Python.h>

#include <string_view>

#include "python/ref.hpp"

namespace molvane::core {
struct Block;
}

namespace molvane::py {

// What the type errors of record names and values call them.
inline constexpr std::string_view kNameNoun = "record names";
inline constexpr std::string_view kValueNoun = "values";

// The bytes of `value` (a str's UTF-8), which must have the block's type;
// otherwise TypeError "text SDBlock {noun} must be str" or
// "byte-backed SDBlock {noun} must be bytes". The view lives as long as `value`.
std::string_view block_typed_bytes(const core::Block& block, PyObject* value,
                                   std::string_view noun);

// The bytes of a str (UTF-8) or bytes object; `value` must be one of the two.
std::string_view str_or_bytes_view(PyObject* value);

}  // namespace molvane::py
